#pragma once
#include <cstdint>
#include <vector>

namespace Tav {

// One colour of the palette behind the cells' colour indices.
struct Colour {
    uint8_t index;
    int32_t materialId;  // the design files' material number
    int32_t r;
    int32_t g;
    int32_t b;
    int32_t a;
};

// The 39 colours, index 0 to 38, in index order.
class ColourTable {
public:
    // Fills the table; a second call leaves it as it is.
    static void Build();
    // The index of the first colour with that material number; 0 when none has it.
    static uint8_t IndexOfMaterial(int32_t materialId);
    static const std::vector<Colour>& Records();
};

}  // namespace Tav
