#include <gtest/gtest.h>

#include <climits>

#include "math/Vector3i.h"

namespace Tav {
namespace {

TEST(Vector3i, SetAndCompare) {
    Vector3i v;
    EXPECT_EQ(v, Vector3i(0, 0, 0));
    v.Set(1, -2, 3);
    EXPECT_EQ(v, Vector3i(1, -2, 3));
    Vector3i w;
    w.Set(v);
    EXPECT_EQ(w, v);
    EXPECT_NE(w, Vector3i(1, -2, 4));
    EXPECT_TRUE(Vector3i(1, 5, 5) < Vector3i(2, 0, 0));
    EXPECT_TRUE(Vector3i(1, 1, 5) < Vector3i(1, 2, 0));
    EXPECT_FALSE(Vector3i(1, 2, 3) < Vector3i(1, 2, 3));
}

TEST(Vector3i, ArithmeticWrapsModulo2To32) {
    const Vector3i big(INT32_MAX, INT32_MIN, 65536);
    EXPECT_EQ(big + Vector3i(1, -1, 0), Vector3i(INT32_MIN, INT32_MAX, 65536));
    EXPECT_EQ(big - Vector3i(-1, 1, 0), Vector3i(INT32_MIN, INT32_MAX, 65536));
    EXPECT_EQ(big * Vector3i(2, 2, 65536), Vector3i(-2, 0, 0));
    EXPECT_EQ(big + 1, Vector3i(INT32_MIN, INT32_MIN + 1, 65537));
    EXPECT_EQ(big - 1, Vector3i(INT32_MAX - 1, INT32_MAX, 65535));
    EXPECT_EQ(big * -1, Vector3i(-INT32_MAX, INT32_MIN, -65536));
    EXPECT_EQ(Vector3i(1, 2, 3) * Vector3i(4, 5, 6), Vector3i(4, 10, 18));
}

TEST(Vector3i, DivisionTruncatesAndHasADefinedResultForEveryInput) {
    EXPECT_EQ(Vector3i(7, -7, 6) / 2, Vector3i(3, -3, 3));
    EXPECT_EQ(Vector3i(7, -7, 6) / Vector3i(2, 2, -4), Vector3i(3, -3, -1));
    // No quotient: a zero divisor gives 0, INT32_MIN / -1 wraps.
    EXPECT_EQ(Vector3i(5, INT32_MIN, 9) / Vector3i(0, -1, 3), Vector3i(0, INT32_MIN, 3));
    EXPECT_EQ(Vector3i(5, 6, 7) / 0, Vector3i(0, 0, 0));

    struct Case {
        Vector3i a;
        Vector3i b;
        bool ok;
    };
    const Case cases[] = {
        {{7, -7, 6}, {2, 2, -4}, true},
        {{1, 2, 3}, {1, 0, 1}, false},
        {{INT32_MIN, 0, 0}, {-1, 1, 1}, false},
        {{INT32_MIN, 0, 0}, {1, 1, 1}, true},
        {{INT32_MAX, 0, 0}, {-1, 1, 1}, true},
    };
    for (const Case& c : cases) {
        Vector3i out(42, 42, 42);
        EXPECT_EQ(c.a.TryDivide(c.b, out), c.ok) << c.a.ToString() << " / " << c.b.ToString();
        EXPECT_EQ(out, c.ok ? c.a / c.b : Vector3i(42, 42, 42));
    }
    Vector3i out;
    EXPECT_FALSE(Vector3i(1, 2, 3).TryDivide(0, out));
    EXPECT_TRUE(Vector3i(1, 2, 3).TryDivide(-1, out));
    EXPECT_EQ(out, Vector3i(-1, -2, -3));
}

}  // namespace
}  // namespace Tav
