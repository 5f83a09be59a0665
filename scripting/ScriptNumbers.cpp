#include "scripting/ScriptNumbers.h"

#include <cmath>
#include <cstdio>

#include "entities/ScriptError.h"

namespace Tav {

ScriptInt ToScriptInt(double number) {
    const double rounded = std::nearbyint(number);  // the default rounding: to nearest, halves to even
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) {
        char text[64];
        std::snprintf(text, sizeof text, "The number %.17g has no 32-bit integer value.", number);
        throw ScriptError(text);
    }
    return ScriptInt{static_cast<int32_t>(rounded)};
}

}  // namespace Tav
