#pragma once
// Lines for the operator, on standard output.
#include <string>

namespace Tav {

// Writes text and a line end to standard output in one write, then flushes,
// so that lines printed by several threads never run into each other. The
// text holds no line end of its own.
void PrintConsoleLine(const std::string& text);

}  // namespace Tav
