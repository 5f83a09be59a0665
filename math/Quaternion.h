#pragma once

namespace Tav {

// A rotation: vector part x, y, z and scalar part w; identity (0, 0, 0, 1).
class Quaternion {
public:
    double x = 0.0;
    double y = 0.0;
    double z = 0.0;
    double w = 1.0;

    Quaternion() = default;
    Quaternion(double x_, double y_, double z_, double w_) : x(x_), y(y_), z(z_), w(w_) {}

    // q at unit length; a q of exactly unit squared length comes back as it
    // is. The zero quaternion (squared length exactly 0) normalises to the identity.
    static Quaternion Normalize(const Quaternion& q);
    // Normalised linear interpolation; t is not clamped.
    static Quaternion Nlerp(const Quaternion& a, const Quaternion& b, double t);
    // Spherical interpolation along the shorter arc; falls back to Nlerp when
    // the cosine between a and b is at least 0.95 (single precision).
    static Quaternion Slerp(const Quaternion& a, const Quaternion& b, double t);

    // Exact comparison, x first: -0.0 equals 0.0, a NaN equals nothing.
    bool operator==(const Quaternion& other) const {
        return x == other.x && y == other.y && z == other.z && w == other.w;
    }
    bool operator!=(const Quaternion& other) const { return !(*this == other); }
};

}  // namespace Tav
