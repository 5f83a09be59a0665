#pragma once
// The motion record of every entity: position, velocity and rotation, ten
// doubles in this order, which is also their order on the wire.
#include "math/Quaternion.h"
#include "math/Vector3.h"
#include "net/BitStream.h"

namespace Tav {

struct MotionState {
    Vector3 position{0.0, 0.0, 0.0};
    Vector3 velocity{0.0, 0.0, 0.0};
    Quaternion rotation{0.0, 0.0, 0.0, 1.0};

    // Exact comparison of the ten doubles; a NaN anywhere makes them unequal.
    bool operator==(const MotionState& other) const;
    bool operator!=(const MotionState& other) const { return !(*this == other); }

    // Ten big-endian doubles.
    void Write(Net::BitStream* out) const;
    // Reads the ten doubles; a value the stream does not hold stays as it was.
    void Read(Net::BitStream* in);
};

}  // namespace Tav
