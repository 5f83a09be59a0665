#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>

#include "math/Matrix4.h"
#include "math/Quaternion.h"

namespace Tav {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

double Norm(const Quaternion& q) { return std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w); }

void ExpectNear(const Quaternion& a, const Quaternion& b, double tol = 1e-12) {
    EXPECT_NEAR(a.x, b.x, tol);
    EXPECT_NEAR(a.y, b.y, tol);
    EXPECT_NEAR(a.z, b.z, tol);
    EXPECT_NEAR(a.w, b.w, tol);
}

TEST(Quaternion, NormalizeAndNlerp) {
    EXPECT_EQ(Quaternion(), Quaternion(0, 0, 0, 1));
    EXPECT_EQ(Quaternion::Normalize({0, 0, 0, 2}), Quaternion(0, 0, 0, 1));
    EXPECT_EQ(Quaternion::Normalize({1, 1, 1, 1}), Quaternion(0.5, 0.5, 0.5, 0.5));
    // Squared length exactly 1: returned bit for bit, no square root taken.
    const Quaternion unit(0.6, 0.0, 0.0, 0.8);
    ASSERT_EQ(unit.x * unit.x + unit.w * unit.w, 1.0);
    const Quaternion n = Quaternion::Normalize(unit);
    EXPECT_EQ(std::memcmp(&n, &unit, sizeof n), 0);
    // The zero quaternion and its kin give the identity instead of NaNs.
    EXPECT_EQ(Quaternion::Normalize({0, 0, 0, 0}), Quaternion());
    EXPECT_EQ(Quaternion::Nlerp({0, 0, 0, 1}, {0, 0, 0, -1}, 0.5), Quaternion());
    // Nlerp: the weighted sum, normalised; t is not clamped.
    ExpectNear(Quaternion::Nlerp({0, 0, 0, 1}, {0, 0, 1, 0}, 0.5), {0, 0, std::sqrt(0.5), std::sqrt(0.5)});
    ExpectNear(Quaternion::Nlerp({0, 0, 0, 1}, {0, 0, 1, 0}, 2.0), Quaternion::Normalize({0, 0, 2, -1}));
    EXPECT_EQ(Quaternion::Nlerp({0, 0, 0, 1}, {0, 0, 1, 0}, 0.0), Quaternion(0, 0, 0, 1));
}

TEST(Quaternion, SlerpBranches) {
    const Quaternion id(0, 0, 0, 1);
    // d = 0: spherical branch, theta = pi/2.
    const Quaternion half = Quaternion::Slerp(id, {0, 0, -1, 0}, 0.5);
    ExpectNear(half, {0, 0, -std::sqrt(0.5), std::sqrt(0.5)});
    ExpectNear(Quaternion::Slerp(id, {0, 0, -1, 0}, 0.0), id);

    // b = -a: d = -1 flips to 1 with b' = a; linear branch gives a for every t.
    const Quaternion a = Quaternion::Normalize({0.1, 0.2, 0.3, 0.9});
    const Quaternion minusA(-a.x, -a.y, -a.z, -a.w);
    for (double t : {0.0, 0.3, 1.0, 2.0}) ExpectNear(Quaternion::Slerp(a, minusA, t), a);

    // d < 0: runs towards b' = -b along the shorter arc; unit length between a and b'.
    const double r = std::sqrt(0.5);
    for (double t : {0.0, 0.25, 0.5, 0.75, 1.0}) {
        const Quaternion q = Quaternion::Slerp(id, {0, 0, r, -r}, t);
        EXPECT_NEAR(Norm(q), 1.0, 1e-12) << t;
        EXPECT_LE(q.z, 1e-15) << t;
        EXPECT_GE(q.z, -r - 1e-12) << t;
        EXPECT_GE(q.w, r - 1e-12) << t;
    }
    ExpectNear(Quaternion::Slerp(id, {0, 0, r, -r}, 1.0), {0, 0, -r, r});

    // The threshold is the single-precision 0.95: d just above it is linear.
    const double threshold = static_cast<double>(0.95f);
    const double angle = std::acos(threshold + 1e-9);
    const Quaternion near(0, std::sin(angle), 0, std::cos(angle));
    const Quaternion lin = Quaternion::Slerp(id, near, 0.5);
    EXPECT_EQ(lin, Quaternion::Nlerp(id, near, 0.5));
    // A NaN cosine also takes the linear branch.
    const Quaternion nan = Quaternion::Slerp(id, {kNaN, 0, 0, 1}, 0.5);
    EXPECT_TRUE(std::isnan(nan.x));
}

TEST(Quaternion, ExactEquality) {
    EXPECT_TRUE(Quaternion(0.0, 0, 0, 1) == Quaternion(-0.0, 0, 0, 1));
    EXPECT_FALSE(Quaternion(0, 0, 0, 1) == Quaternion(0, 0, 1e-300, 1));
    const Quaternion n(0, 0, 0, kNaN);
    EXPECT_FALSE(n == n);
}

TEST(Matrix4, ExactEquality) {
    Matrix4 a;
    for (int i = 0; i < 16; ++i) a[i] = i % 5 == 0 ? 1.0 : 0.0;
    Matrix4 b = a;
    EXPECT_TRUE(a == b);
    b[3] = -0.0;
    EXPECT_TRUE(a == b);
    b[15] = 1.0000000000000002;
    EXPECT_FALSE(a == b);
    Matrix4 n = a;
    n[7] = kNaN;
    EXPECT_FALSE(n == n);
}

}  // namespace
}  // namespace Tav
