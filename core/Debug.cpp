#include "core/Debug.h"

#include <cstdio>

namespace Tav {

void DebugOutput(const std::string& text) {
    // One write per message, so that messages from several threads never interleave.
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
}

}  // namespace Tav
