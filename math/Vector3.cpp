#include "math/Vector3.h"

#include <cmath>
#include <cstdio>

namespace Tav {

namespace {

// The clipping threshold: the single-precision 1e-7 widened to double.
const double kParallelEpsilon = static_cast<double>(1e-7f);

std::string FormatXYZ(double x, double y, double z) {
    char buffer[1024];
    std::snprintf(buffer, sizeof buffer, "X: %.2f, Y: %.2f, Z: %.2f", x, y, z);
    return buffer;
}

}  // namespace

std::string Vector3i::ToString() const {
    return FormatXYZ(static_cast<double>(x), static_cast<double>(y), static_cast<double>(z));
}

double Vector3::Length() const { return std::sqrt(x * x + y * y + z * z); }

double Vector3::LengthPow2() const { return x * x + y * y + z * z; }

Vector3 Vector3::Normalize() const {
    Vector3 copy(*this);
    copy.NormalizeInPlace();
    return copy;
}

void Vector3::NormalizeInPlace() {
    const double length = std::sqrt(x * x + y * y + z * z);
    if (length < 0.0001) {
        x = y = z = 0.0;
        return;
    }
    x /= length;
    y /= length;
    z /= length;
}

double Vector3::Dot(const Vector3& b) const { return x * b.x + y * b.y + z * b.z; }

double Vector3::Dot(double bx, double by, double bz) const { return x * bx + y * by + z * bz; }

Vector3 Vector3::Cross(const Vector3& b) const {
    return {y * b.z - b.y * z, z * b.x - x * b.z, b.y * x - y * b.x};
}

Vector3 Vector3::NormalOfPlaneAgainst(const Vector3& b) const { return Cross(b); }

double Vector3::DistanceTo(const Vector3& b) const { return std::sqrt(DistanceToPow2(b)); }

double Vector3::DistanceToPow2(const Vector3& b) const { return DistanceToPow2(b.x, b.y, b.z); }

double Vector3::DistanceToPow2(double bx, double by, double bz) const {
    const double dx = bx - x;
    const double dy = by - y;
    const double dz = bz - z;
    return dx * dx + dy * dy + dz * dz;
}

double Vector3::HorizontalDistance(const Vector3& b) const {
    const double dx = b.x - x;
    const double dz = b.z - z;
    return std::sqrt(dx * dx + dz * dz);
}

Vector3 Vector3::VectorTo(const Vector3& b) const { return {b.x - x, b.y - y, b.z - z}; }

Vector3 Vector3::InterpolateTo(const Vector3& b, double t) const {
    return {(b.x - x) * t + x, (b.y - y) * t + y, (b.z - z) * t + z};
}

Vector3 Vector3::Add(double dx, double dy, double dz) const { return {x + dx, y + dy, z + dz}; }

Vector3 Vector3::Scale(double s) const { return {x * s, y * s, z * s}; }

Vector3i Vector3::GetLongestDirection() const {
    const double ax = std::fabs(x);
    const double ay = std::fabs(y);
    const double az = std::fabs(z);
    if (ax > ay && ax > az) return {1, 0, 0};
    if (ax < ay && ay > az) return {0, 1, 0};
    return {0, 0, 1};
}

namespace {

// The crossing of the segment a..b with the plane where the component picked
// by axis equals value.
Vector3 Clip(const Vector3& a, const Vector3& b, double av, double bv, double value) {
    const double d = bv - av;
    if (d * d < kParallelEpsilon) return {};
    const double t = (value - av) / d;
    if (t < 0.0 || t > 1.0) return {};
    return {(b.x - a.x) * t + a.x, (b.y - a.y) * t + a.y, (b.z - a.z) * t + a.z};
}

}  // namespace

Vector3 Vector3::ClipX(const Vector3& b, double value) const { return Clip(*this, b, x, b.x, value); }
Vector3 Vector3::ClipY(const Vector3& b, double value) const { return Clip(*this, b, y, b.y, value); }
Vector3 Vector3::ClipZ(const Vector3& b, double value) const { return Clip(*this, b, z, b.z, value); }

namespace {

void RotatePlane(double& u, double& v, float angle) {
    const double c = static_cast<float>(std::cos(static_cast<double>(angle)));
    const double s = static_cast<float>(std::sin(static_cast<double>(angle)));
    const double u0 = u;
    const double v0 = v;
    u = c * u0 + s * v0;
    v = c * v0 - s * u0;
}

}  // namespace

void Vector3::XRot(float angle) { RotatePlane(y, z, angle); }
void Vector3::YRot(float angle) { RotatePlane(x, z, angle); }
void Vector3::ZRot(float angle) { RotatePlane(x, y, angle); }

std::string Vector3::ToString() const { return FormatXYZ(x, y, z); }

}  // namespace Tav
