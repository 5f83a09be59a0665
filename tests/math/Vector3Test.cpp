#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "math/Vector3.h"

namespace Tav {
namespace {

const double kNaN = std::numeric_limits<double>::quiet_NaN();

TEST(Vector3, NormalizeHasALowerBoundAndLeavesTheOriginal) {
    struct Case {
        Vector3 in;
        Vector3 out;
    };
    const Case cases[] = {
        {{0.00005, 0, 0}, {0, 0, 0}},
        {{0.0001, 0, 0}, {1, 0, 0}},
        {{3, 0, 4}, {0.6, 0, 0.8}},
        {{0, 0, 0}, {0, 0, 0}},
    };
    for (const Case& c : cases) {
        const Vector3 copy = c.in;
        EXPECT_EQ(c.in.Normalize(), c.out) << c.in.ToString();
        EXPECT_EQ(c.in, copy);
        Vector3 v = c.in;
        v.NormalizeInPlace();
        EXPECT_EQ(v, c.out) << c.in.ToString();
    }
}

TEST(Vector3, ProductsAndDistances) {
    const Vector3 a(1, 2, 3);
    const Vector3 b(4, -5, 6);
    EXPECT_EQ(a.Dot(b), 4 - 10 + 18);
    EXPECT_EQ(a.Dot(4, -5, 6), 12);
    EXPECT_EQ(a.Cross(b), Vector3(2 * 6 - (-5) * 3, 3 * 4 - 1 * 6, 1 * -5 - 2 * 4));
    EXPECT_EQ(Vector3(1, 0, 0).Cross(Vector3(0, 1, 0)), Vector3(0, 0, 1));
    EXPECT_EQ(Vector3(0, 0, 0).HorizontalDistance(Vector3(3, 100, 4)), 5.0);
    EXPECT_EQ(Vector3(1, 1, 1).DistanceTo(Vector3(3, 4, 7)), 7.0);
    EXPECT_EQ(Vector3(1, 1, 1).DistanceToPow2(Vector3(3, 4, 7)), 49.0);
    EXPECT_EQ(Vector3(1, 1, 1).DistanceToPow2(3, 4, 7), 49.0);
    EXPECT_EQ(Vector3(3, 0, 4).Length(), 5.0);
    EXPECT_EQ(Vector3(3, 0, 4).LengthPow2(), 25.0);
    EXPECT_EQ(a.VectorTo(b), Vector3(3, -7, 3));
    EXPECT_EQ(a.Add(1, 1, 1), Vector3(2, 3, 4));
    EXPECT_EQ(a.Scale(2), Vector3(2, 4, 6));
    EXPECT_EQ(Vector3(0, 0, 0).InterpolateTo(Vector3(1, 1, 1), 2), Vector3(2, 2, 2));
    EXPECT_EQ(a.InterpolateTo(b, 0), a);
    EXPECT_EQ(a.InterpolateTo(b, 1), b);
}

TEST(Vector3, LongestDirectionGivesZOnEveryTie) {
    struct Case {
        Vector3 in;
        Vector3i out;
    };
    const Case cases[] = {
        {{-5, 3, 1}, {1, 0, 0}}, {{1, -3, 3}, {0, 0, 1}}, {{1, 3, 2}, {0, 1, 0}},
        {{1, 1, 0}, {0, 0, 1}},  {{2, -2, 1}, {0, 0, 1}}, {{0, 0, 0}, {0, 0, 1}},
        {{kNaN, 1, 0}, {0, 0, 1}}, {{5, kNaN, 0}, {0, 0, 1}},
    };
    for (const Case& c : cases) EXPECT_EQ(c.in.GetLongestDirection(), c.out) << c.in.ToString();
}

TEST(Vector3, ClipFindsTheCrossingOrGivesZero) {
    const Vector3 a(0, 0, 0);
    const Vector3 b(10, 20, 30);
    EXPECT_EQ(a.ClipX(b, 5), Vector3(5, 10, 15));
    EXPECT_EQ(a.ClipX(b, 10), Vector3(10, 20, 30));
    EXPECT_EQ(a.ClipX(b, 0), Vector3(0, 0, 0));
    EXPECT_EQ(a.ClipX(b, 11), Vector3(0, 0, 0));
    EXPECT_EQ(a.ClipX(b, -1), Vector3(0, 0, 0));
    EXPECT_EQ(a.ClipY(b, 10), Vector3(5, 10, 15));
    EXPECT_EQ(a.ClipZ(b, 15), Vector3(5, 10, 15));
    EXPECT_EQ(a.ClipZ(b, 31), Vector3(0, 0, 0));
    // d^2 = 1e-8 is below the single-precision 1e-7: parallel.
    for (double value : {1.0, 1.00005, 7.0}) {
        EXPECT_EQ(Vector3(1, 2, 3).ClipX(Vector3(1.0001, 5, 5), value), Vector3(0, 0, 0));
    }
    // Just above the threshold (widened to 1.0000000116860974e-7) still clips.
    const double d = std::sqrt(1.0000000116860974e-7) * 1.0001;
    EXPECT_NE(Vector3(0, 0, 0).ClipY(Vector3(1, d, 0), d / 2), Vector3(0, 0, 0));
}

TEST(Vector3, RotationsTurnThePlaneOfTheirAxis) {
    const float halfPi = static_cast<float>(std::acos(-1.0) / 2);
    const double tol = 1e-7;
    struct Case {
        char axis;
        Vector3 in;
        Vector3 out;
    };
    const Case cases[] = {
        {'x', {0, 1, 0}, {0, 0, -1}}, {'x', {0, 0, 1}, {0, 1, 0}},
        {'y', {1, 0, 0}, {0, 0, -1}}, {'z', {1, 0, 0}, {0, -1, 0}},
        {'x', {7, 0, 0}, {7, 0, 0}},
    };
    for (const Case& c : cases) {
        Vector3 v = c.in;
        if (c.axis == 'x') v.XRot(halfPi);
        if (c.axis == 'y') v.YRot(halfPi);
        if (c.axis == 'z') v.ZRot(halfPi);
        EXPECT_NEAR(v.x, c.out.x, tol) << c.axis << " " << c.in.ToString();
        EXPECT_NEAR(v.y, c.out.y, tol) << c.axis << " " << c.in.ToString();
        EXPECT_NEAR(v.z, c.out.z, tol) << c.axis << " " << c.in.ToString();
    }
    Vector3 same(1.5, -2.25, 3.125);
    same.XRot(0.0f);
    same.YRot(0.0f);
    same.ZRot(0.0f);
    EXPECT_EQ(same, Vector3(1.5, -2.25, 3.125));

    // Sine and cosine are rounded to single precision: the result is built
    // from the float values, both taken from the components before the call.
    Vector3 v(1, 2, 0);
    v.ZRot(0.5f);
    const double c = static_cast<float>(std::cos(0.5));
    const double s = static_cast<float>(std::sin(0.5));
    EXPECT_EQ(v, Vector3(c * 1 + s * 2, c * 2 - s * 1, 0));
}

TEST(Vector3, TextForm) {
    EXPECT_EQ(Vector3(1, -2.5, 0.126).ToString(), "X: 1.00, Y: -2.50, Z: 0.13");
    // The longest texts still come out whole.
    const std::string huge = Vector3(1e300, -1e300, 0).ToString();
    EXPECT_GT(huge.size(), 600u);
    EXPECT_EQ(huge.substr(huge.size() - 9), ", Z: 0.00");
    EXPECT_EQ(Vector3i(1, -2, 30).ToString(), "X: 1.00, Y: -2.00, Z: 30.00");
    EXPECT_EQ(Vector3i(INT32_MIN, 0, INT32_MAX).ToString(), "X: -2147483648.00, Y: 0.00, Z: 2147483647.00");
}

TEST(Vector3, OperatorsAndExactEquality) {
    const Vector3 a(1, 2, 3);
    EXPECT_EQ(a + Vector3(1, 1, 1), Vector3(2, 3, 4));
    EXPECT_EQ(a - Vector3(1, 1, 1), Vector3(0, 1, 2));
    EXPECT_EQ(a * Vector3(2, 3, 4), Vector3(2, 6, 12));
    EXPECT_EQ(a / Vector3(2, 4, 3), Vector3(0.5, 0.5, 1));
    EXPECT_EQ(a + 1.0, Vector3(2, 3, 4));
    EXPECT_EQ(a - 1.0, Vector3(0, 1, 2));
    EXPECT_EQ(a * 2.0, Vector3(2, 4, 6));
    EXPECT_EQ(a / 2.0, Vector3(0.5, 1, 1.5));
    const Vector3 q = a / 0.0;
    EXPECT_TRUE(std::isinf(q.x));
    EXPECT_TRUE(std::isnan((Vector3(0, 0, 0) / 0.0).x));

    EXPECT_TRUE(Vector3(0.0, 0, 0) == Vector3(-0.0, 0, 0));
    const Vector3 n(kNaN, 0, 0);
    EXPECT_FALSE(n == n);
    EXPECT_TRUE(n != n);
    EXPECT_FALSE(Vector3(1, 2, 3) == Vector3(1, 2, 3.0000000001));
}

}  // namespace
}  // namespace Tav
