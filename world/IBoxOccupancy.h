#pragma once
#include "math/Vector3i.h"

namespace Tav {

// Occupancy test of an inclusive box of world cells, as player collision
// needs it. Implemented by the chunk worker base over its octree.
class IBoxOccupancy {
public:
    virtual ~IBoxOccupancy() = default;
    // True when the box's minimum y is below 0 or any occupied cell of a
    // loaded chunk lies in the box; cells of chunks that are not loaded are free.
    virtual bool IsBoxOccupied(const Vector3i& min, const Vector3i& max) = 0;
};

}  // namespace Tav
