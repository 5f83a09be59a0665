#include "core/ConsoleOutput.h"

#include <cstdio>

namespace Tav {

void PrintConsoleLine(const std::string& text) {
    std::string line;
    line.reserve(text.size() + 1);
    line.append(text).push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fflush(stdout);
}

}  // namespace Tav
