#pragma once
#include <string>

#include "math/Vector3i.h"

namespace Tav {

// Three doubles in world units (a cell measures 0.8 x 0.96 x 0.8).
class Vector3 {
public:
    double x;
    double y;
    double z;

    Vector3() : x(0.0), y(0.0), z(0.0) {}
    Vector3(double x_, double y_, double z_) : x(x_), y(y_), z(z_) {}
    Vector3(const Vector3&) = default;
    Vector3& operator=(const Vector3&) = default;

    void Set(double x_, double y_, double z_) { x = x_; y = y_; z = z_; }

    double Length() const;
    double LengthPow2() const;
    // (0, 0, 0) when the length is below 0.0001, else the unit vector.
    Vector3 Normalize() const;
    void NormalizeInPlace();
    double Dot(const Vector3& b) const;
    double Dot(double bx, double by, double bz) const;
    Vector3 Cross(const Vector3& b) const;
    // The normal of the plane that this vector and b span: exactly Cross(b).
    Vector3 NormalOfPlaneAgainst(const Vector3& b) const;
    double DistanceTo(const Vector3& b) const;
    double DistanceToPow2(const Vector3& b) const;
    double DistanceToPow2(double bx, double by, double bz) const;
    // Distance in the x-z plane; y is ignored.
    double HorizontalDistance(const Vector3& b) const;
    Vector3 VectorTo(const Vector3& b) const;
    // (b - a) * t + a per component; t is not clamped.
    Vector3 InterpolateTo(const Vector3& b, double t) const;
    Vector3 Add(double dx, double dy, double dz) const;
    Vector3 Scale(double s) const;
    // The axis of the strictly largest absolute component; (0, 0, 1) on ties.
    Vector3i GetLongestDirection() const;
    // The point of the segment from this to b whose coordinate on that axis is
    // value; (0, 0, 0) when the segment is (nearly) parallel to the plane or
    // does not reach it.
    Vector3 ClipX(const Vector3& b, double value) const;
    Vector3 ClipY(const Vector3& b, double value) const;
    Vector3 ClipZ(const Vector3& b, double value) const;
    // Rotations in place; sine and cosine are rounded to single precision.
    void XRot(float angle);
    void YRot(float angle);
    void ZRot(float angle);
    // "X: %.2f, Y: %.2f, Z: %.2f".
    std::string ToString() const;
};

inline Vector3 operator+(const Vector3& a, const Vector3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }
inline Vector3 operator-(const Vector3& a, const Vector3& b) { return {a.x - b.x, a.y - b.y, a.z - b.z}; }
inline Vector3 operator*(const Vector3& a, const Vector3& b) { return {a.x * b.x, a.y * b.y, a.z * b.z}; }
inline Vector3 operator/(const Vector3& a, const Vector3& b) { return {a.x / b.x, a.y / b.y, a.z / b.z}; }
inline Vector3 operator+(const Vector3& a, double s) { return {a.x + s, a.y + s, a.z + s}; }
inline Vector3 operator-(const Vector3& a, double s) { return {a.x - s, a.y - s, a.z - s}; }
inline Vector3 operator*(const Vector3& a, double s) { return {a.x * s, a.y * s, a.z * s}; }
inline Vector3 operator/(const Vector3& a, double s) { return {a.x / s, a.y / s, a.z / s}; }
// Exact comparison: 0.0 equals -0.0, a NaN component equals nothing.
inline bool operator==(const Vector3& a, const Vector3& b) { return a.x == b.x && a.y == b.y && a.z == b.z; }
inline bool operator!=(const Vector3& a, const Vector3& b) { return !(a == b); }

}  // namespace Tav
