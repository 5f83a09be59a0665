#pragma once
#include <vector>

#include "math/Vector3i.h"

namespace Tav {

// Occupancy of inclusive boxes of world cells, as player collision needs it.
// Implemented by the chunk worker base over its octree.
class IBoxOccupancy {
public:
    virtual ~IBoxOccupancy() = default;
    // True when the box's minimum y is below 0 or any occupied cell of a
    // loaded chunk lies in the box; cells of chunks that are not loaded are free.
    virtual bool IsBoxOccupied(const Vector3i& min, const Vector3i& max) = 0;
    // Appends the occupied cells of the box (cells below row 0, which lie in
    // no chunk, are not listed). The default asks IsBoxOccupied cell by cell,
    // which suits small boxes; callers keep boxes small.
    virtual void CollectOccupiedCells(const Vector3i& min, const Vector3i& max, std::vector<Vector3i>& out) {
        for (int64_t x = min.x; x <= max.x; ++x)
            for (int64_t y = min.y < 0 ? 0 : min.y; y <= max.y; ++y)
                for (int64_t z = min.z; z <= max.z; ++z) {
                    const Vector3i c(static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<int32_t>(z));
                    if (IsBoxOccupied(c, c)) out.push_back(c);
                }
    }
};

}  // namespace Tav
