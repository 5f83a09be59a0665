#pragma once
#include <string>

namespace Tav {

// The debugger output channel: standard error, each message written whole.
void DebugOutput(const std::string& text);

}  // namespace Tav
