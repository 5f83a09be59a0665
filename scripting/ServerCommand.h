#pragma once
// A server command as a script declares it, and the context of one run of a
// command.
#include <string>

#include "net/Types.h"

namespace Tav {

// The declaration of one command: its name (also the name of the global
// script function that runs it), a one-line description, the exact number of
// arguments and a security level. Levels are carried and shown, never
// enforced. Nothing is validated.
class ServerCommand {
public:
    enum SecurityLevel {
        SecurityLevel0 = 0,
        SecurityLevel1 = 1,
        SecurityLevel2 = 2,
    };

    ServerCommand(std::string name, std::string description, int numParams,
                  SecurityLevel securityLevel);

    const std::string& GetName() const { return name; }
    const std::string& GetDescription() const { return description; }
    int GetNumParams() const { return numParams; }
    SecurityLevel GetSecurityLevel() const { return securityLevel; }

private:
    std::string name;
    std::string description;
    int numParams;
    SecurityLevel securityLevel;
};

// One run of a command: which command, at which level, for whom, and the
// text the run has printed so far. It belongs to the run that created it and
// is used on that run's thread only; copies are independent.
class ServerCommandConnector {
public:
    ServerCommandConnector(std::string command, ServerCommand::SecurityLevel securityLevel,
                           Net::Guid guid);

    std::string GetCommand() const { return command; }
    ServerCommand::SecurityLevel GetSecurityLevel() const { return securityLevel; }
    Net::Guid GetGUID() const { return guid; }
    std::string GetOutput() const { return output; }

    // Appends the text unchanged; no line end is added.
    void Print(std::string text);

    // Appends a printf-style formatted message. Messages of any length are
    // kept whole: one beyond 1023 characters is formatted into a buffer of
    // its own size rather than cut. Pass variable texts as arguments, never
    // as the format.
    void Printf(const char* format, ...) __attribute__((format(printf, 2, 3)));

private:
    std::string command;
    ServerCommand::SecurityLevel securityLevel;
    Net::Guid guid;
    std::string output;
};

}  // namespace Tav
