#include "math/Quaternion.h"

#include <cmath>

namespace Tav {

namespace {
// The linear fallback threshold: the single-precision 0.95 widened to double.
const double kLinearThreshold = static_cast<double>(0.95f);
}  // namespace

Quaternion Quaternion::Normalize(const Quaternion& q) {
    const double n = q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w;
    if (n == 1.0) return q;
    // The zero quaternion has no direction; so that a caller never gets NaNs
    // from it, it gives the identity.
    if (n == 0.0) return Quaternion();
    const double length = std::sqrt(n);
    return {q.x / length, q.y / length, q.z / length, q.w / length};
}

Quaternion Quaternion::Nlerp(const Quaternion& a, const Quaternion& b, double t) {
    const double u = 1.0 - t;
    return Normalize({a.x * u + b.x * t, a.y * u + b.y * t, a.z * u + b.z * t, a.w * u + b.w * t});
}

Quaternion Quaternion::Slerp(const Quaternion& a, const Quaternion& b, double t) {
    double d = a.x * b.x + a.y * b.y + a.z * b.z + a.w * b.w;
    Quaternion target = b;
    if (d < 0.0) {
        target = Quaternion(-b.x, -b.y, -b.z, -b.w);
        d = -d;
    }
    if (d >= kLinearThreshold || std::isnan(d)) return Nlerp(a, target, t);
    const double theta = std::acos(d);
    const double k = 1.0 / std::sin(theta);
    const double sa = std::sin((1.0 - t) * theta);
    const double sb = std::sin(t * theta);
    return {(a.x * sa + target.x * sb) * k, (a.y * sa + target.y * sb) * k,
            (a.z * sa + target.z * sb) * k, (a.w * sa + target.w * sb) * k};
}

}  // namespace Tav
