#include "scripting/ServerCommand.h"

#include <cstdarg>
#include <cstdio>
#include <utility>

namespace Tav {

ServerCommand::ServerCommand(std::string name_, std::string description_, int numParams_,
                             SecurityLevel securityLevel_)
    : name(std::move(name_)),
      description(std::move(description_)),
      numParams(numParams_),
      securityLevel(securityLevel_) {}

ServerCommandConnector::ServerCommandConnector(std::string command_,
                                               ServerCommand::SecurityLevel securityLevel_,
                                               Net::Guid guid_)
    : command(std::move(command_)), securityLevel(securityLevel_), guid(guid_) {}

void ServerCommandConnector::Print(std::string text) { output += text; }

void ServerCommandConnector::Printf(const char* format, ...) {
    char buffer[1024];
    va_list args;
    va_start(args, format);
    va_list retry;
    va_copy(retry, args);
    const int length = std::vsnprintf(buffer, sizeof buffer, format, args);
    va_end(args);
    if (length < 0) {
        va_end(retry);
        return;  // an invalid format: nothing sensible to append
    }
    if (static_cast<size_t>(length) < sizeof buffer) {
        output.append(buffer, static_cast<size_t>(length));
    } else {
        // Too long for the buffer: format it again straight into the output.
        const size_t start = output.size();
        output.resize(start + static_cast<size_t>(length) + 1);
        std::vsnprintf(&output[start], static_cast<size_t>(length) + 1, format, retry);
        output.resize(start + static_cast<size_t>(length));
    }
    va_end(retry);
}

}  // namespace Tav
