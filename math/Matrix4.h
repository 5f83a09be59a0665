#pragma once

namespace Tav {

// A 4 x 4 matrix of doubles, element 0 to element 15 in the order in which a
// design file lists them. Its one operation is exact comparison.
class Matrix4 {
public:
    double m[16] = {};

    Matrix4() = default;

    double& operator[](int i) { return m[i]; }
    double operator[](int i) const { return m[i]; }

    // Element 0 first; -0.0 equals 0.0, a NaN equals nothing.
    bool operator==(const Matrix4& other) const {
        for (int i = 0; i < 16; ++i) {
            if (!(m[i] == other.m[i])) return false;
        }
        return true;
    }
    bool operator!=(const Matrix4& other) const { return !(*this == other); }
};

}  // namespace Tav
