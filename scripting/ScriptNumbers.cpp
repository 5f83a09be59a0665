#include "scripting/ScriptNumbers.h"

#include <cmath>
#include <cstdio>

#include "entities/ScriptError.h"

namespace Tav {

ScriptInt ToScriptInt(double number) {
    const double rounded = std::nearbyint(number);  // the default rounding: to nearest, halves to even
    // -2^63 and 2^63 are exact doubles: every rounded value in between
    // converts to a 64-bit integer without undefined behaviour.
    constexpr double kTwoTo63 = 9223372036854775808.0;
    if (!(rounded >= -kTwoTo63 && rounded < kTwoTo63)) {
        char text[64];
        std::snprintf(text, sizeof text, "The number %.17g has no 64-bit integer value.", number);
        throw ScriptError(text);
    }
    // The low 32 bits, as two's complement: unsigned arithmetic wraps, and
    // the last step stays within the signed range.
    const auto low = static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(rounded)));
    const int64_t value = low >= 0x80000000u ? int64_t(low) - 0x100000000 : int64_t(low);
    return ScriptInt{static_cast<int32_t>(value)};
}

}  // namespace Tav
