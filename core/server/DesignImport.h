#pragma once
// What the server keeps of a player's design import for its undo, where such
// a design lands, and the texts that tell a script what an import did.
#include <cstddef>
#include <string>

#include "math/Vector3.h"
#include "math/Vector3i.h"
#include "world/Lxfml.h"

namespace Tav {

// The empty record is an empty design at origin (0, 0, 0).
struct ImportRecord {
    LxfmlDesign design;  // as parsed: cells relative to the design's origin
    Vector3i origin;     // the world cell of the design's cell (0, 0, 0)
};

// The world cell at which a design lands beside a player: r + 10 world units
// from the player's position on the side opposite to its facing,
// horizontally (r is the diagonal of the design's footprint), at the
// player's height; a facing with no horizontal part (or not finite) gives
// the player's own position. Each coordinate is truncated toward zero; values beyond 32 bits
// are clamped and a NaN gives 0.
Vector3i DesignOriginBeside(const Vector3& position, const Vector3& facing, const LxfmlDesign& design);

// Why a parse placed nothing, after "No design placed: " or "No test design
// placed: ": the limits are those the design was parsed with. Empty for a
// design that parsed.
std::string DesignRefusalText(LxfmlResult result, const LxfmlLimits& limits);

// "n of total brick(s)", the noun agreeing with total ("1 of 1 brick",
// "0 of 3 bricks").
std::string BrickCountText(size_t n, size_t total);

// What a stamping did, after the count text of what landed: nothing, or how
// many landed only in part.
std::string PartlyText(const DesignStampCount& count);

}  // namespace Tav
