// The script classes "Vector3" and "Vector3i" in a real Lua state: every
// constructor, method form and operator as a script meets it, with its
// results, what it does to the receiver and the errors it raises.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "ScriptFixture.h"
#include "math/Vector3.h"

namespace Tav {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// S(v): the text of a vector; P(v): the exact components of a Vector3 with
// finite components, through Dot.
constexpr const char* kHelpers = R"lua(
function S(v) return v:ToString() end
function P(v) return string.format('%.17g,%.17g,%.17g', v:Dot(1, 0, 0), v:Dot(0, 1, 0), v:Dot(0, 0, 1)) end
)lua";

struct Case {
    const char* chunk;
    std::string expected;  // the result; "error: " and a part of the message for errors
};

class VectorBindingsTest : public Testing::ScriptFixture {
protected:
    void SetUp() override {
        ScriptFixture::SetUp();
        ASSERT_EQ(Start(kHelpers), "Loaded scripts\n");
    }

    void Check(const std::vector<Case>& cases) {
        for (const Case& c : cases) {
            const std::string result = Eval(c.chunk);
            if (c.expected.rfind("error: ", 0) == 0) {
                EXPECT_THAT(result, StartsWith("error: ")) << c.chunk;
                EXPECT_THAT(result, HasSubstr(c.expected.substr(7))) << c.chunk;
            } else {
                EXPECT_EQ(result, c.expected) << c.chunk;
            }
        }
    }
};

const std::string kNoMatch = "error: No matching overload found, candidates:";

TEST_F(VectorBindingsTest, Vector3ConstructorsPickTheirFormByTheArguments) {
    Check({
        {"return S(Vector3())", "X: 0.00, Y: 0.00, Z: 0.00"},
        {"return S(Vector3(1, -2.5, 0.126))", "X: 1.00, Y: -2.50, Z: 0.13"},
        {"local a = Vector3(1, 2, 3); local b = Vector3(a); b:Set(4, 5, 6); return S(a) .. ' / ' .. S(b)",
         "X: 1.00, Y: 2.00, Z: 3.00 / X: 4.00, Y: 5.00, Z: 6.00"},
        {"return Vector3(1, 2)", kNoMatch},
        {"return Vector3('1', 2, 3)", kNoMatch},
        {"return Vector3(Vector3i(1, 2, 3))", kNoMatch},
        {"return Vector3(nil)", kNoMatch},
    });
}

TEST_F(VectorBindingsTest, Vector3MethodsGiveNewValuesAndChangeTheReceiverOnlyWhereTheyShould) {
    Check({
        {"local v = Vector3(); local n = select('#', v:Set(1, 2, 3)); return n .. ' ' .. S(v)",
         "0 X: 1.00, Y: 2.00, Z: 3.00"},
        {"local v = Vector3(); local r = v:InterpolateTo(Vector3(1, 1, 1), 2); return S(r) .. ' / ' .. S(v)",
         "X: 2.00, Y: 2.00, Z: 2.00 / X: 0.00, Y: 0.00, Z: 0.00"},
        {"local v = Vector3(1, 2, 3); local r = v:VectorTo(Vector3(4, 6, 8)); return P(r) .. ' / ' .. P(v)",
         "3,4,5 / 1,2,3"},
        {"local v = Vector3(3, 0, 4); local r = v:Normalize(); return P(r) .. ' / ' .. P(v)",
         "0.59999999999999998,0,0.80000000000000004 / 3,0,4"},
        {"local v = Vector3(3, 0, 4); local n = select('#', v:NormalizeInPlace()); return n .. ' ' .. P(v)",
         "0 0.59999999999999998,0,0.80000000000000004"},
        {"local v = Vector3(1, 2, 3); return v:Dot(Vector3(4, -5, 6)) .. ' ' .. v:Dot(4, -5, 6)", "12 12"},
        {"local v = Vector3(1, 2, 3); local r = v:Cross(Vector3(4, -5, 6)); return P(r) .. ' / ' .. P(v)",
         "27,6,-13 / 1,2,3"},
        {"local v = Vector3(1, 2, 3); local r = v:Add(1, 2, 3); return S(r) .. ' / ' .. S(v)",
         "X: 2.00, Y: 4.00, Z: 6.00 / X: 1.00, Y: 2.00, Z: 3.00"},
        {"return Vector3(1, 2, 3):DistanceTo(Vector3(4, 6, 3))", "5"},
        {"local v = Vector3(1, 2, 3); return v:DistanceToPow2(4, 6, 3) .. ' ' .. v:DistanceToPow2(Vector3(4, 6, 3))",
         "25 25"},
        {"return Vector3():HorizontalDistance(Vector3(3, 100, 4))", "5"},
        {"local v = Vector3(1, 2, 3); local r = v:Scale(2); return S(r) .. ' / ' .. S(v)",
         "X: 2.00, Y: 4.00, Z: 6.00 / X: 1.00, Y: 2.00, Z: 3.00"},
        {"local v = Vector3(2, 3, 6); return v:Length() .. ' ' .. v:LengthPow2()", "7 49"},
        {"return Vector3(-5, 3, 1):GetLongestDirection() == Vector3i(1, 0, 0)", "true"},
        {"return S(Vector3(1, 1, 0):GetLongestDirection())", "X: 0.00, Y: 0.00, Z: 1.00"},
        {"local a, b = Vector3(), Vector3(10, 20, 30); return S(a:ClipX(b, 5)) .. ' / ' .. S(a:ClipY(b, 5)) .. "
         "' / ' .. S(a:ClipZ(b, 6)) .. ' / ' .. S(a:ClipX(b, 11))",
         "X: 5.00, Y: 10.00, Z: 15.00 / X: 2.50, Y: 5.00, Z: 7.50 / X: 2.00, Y: 4.00, Z: 6.00 / "
         "X: 0.00, Y: 0.00, Z: 0.00"},
        {"return S(Vector3(1, -2.5, 0.126))", "X: 1.00, Y: -2.50, Z: 0.13"},
        // No method hands back its receiver or an argument.
        {"local v, w = Vector3(1, 2, 3), Vector3(); return rawequal(v:Add(0, 0, 0), v) or rawequal(v:Scale(1), v) "
         "or rawequal(v:Lerp(w, 0), v) or rawequal(v:Lerp(w, 1), w) or rawequal(v:Normalize(), v)",
         "false"},
        // The components are no fields.
        {"local v = Vector3(1, 2, 3); return tostring(v.x) .. tostring(v.y) .. tostring(v.z)", "nilnilnil"},
    });
}

TEST_F(VectorBindingsTest, RotationsTurnTheReceiverByASinglePrecisionAngle) {
    struct Rotation {
        const char* method;
        void (Vector3::*rotate)(float);
    };
    for (const Rotation& r : {Rotation{"XRot", &Vector3::XRot}, Rotation{"YRot", &Vector3::YRot},
                              Rotation{"ZRot", &Vector3::ZRot}}) {
        Vector3 expected(0.3, -1.2, 2.5);
        (expected.*r.rotate)(0.7f);
        char text[200];
        std::snprintf(text, sizeof text, "0 %.17g,%.17g,%.17g", expected.x, expected.y, expected.z);
        const std::string chunk = std::string("local v = Vector3(0.3, -1.2, 2.5); local n = select('#', v:") +
                                  r.method + "(0.7)); return n .. ' ' .. P(v)";
        EXPECT_EQ(Eval(chunk), text) << r.method;
    }
}

TEST_F(VectorBindingsTest, AliasesComputeWhatTheirTargetsCompute) {
    Check({
        {"local v, w = Vector3(1, 2, 3), Vector3(-4, 0.5, 9); return v:Lerp(w, 0.3) == v:InterpolateTo(w, 0.3)",
         "true"},
        {"local v, w = Vector3(0.1, 0.2, 0.3), Vector3(7, 8, 9); return v:InnerProduct(w) == v:Dot(w)", "true"},
        {"local v, w = Vector3(0.1, 2, -3), Vector3(4, -5.5, 6); return v:NormalOfPlaneAgainst(w) == v:Cross(w)",
         "true"},
        // The alias has only the vector form.
        {"return Vector3():InnerProduct(1, 2, 3)", kNoMatch},
    });
}

TEST_F(VectorBindingsTest, ArgumentsThatFitNoFormRaiseAndChangeNothing) {
    Check({
        {"return Vector3():Dot(Vector3i())", kNoMatch},
        {"return Vector3():Dot(1, 2)", kNoMatch},
        {"return Vector3():Dot('1', '2', '3')", kNoMatch},
        {"return Vector3():Scale(nil)", kNoMatch},
        {"return Vector3():ClipX(Vector3())", kNoMatch},
        {"return Vector3():DistanceToPow2(Vector3i())", "error: DistanceToPow2"},
        {"local v = Vector3(1, 2, 3); pcall(v.Set, v, 'a', 2, 3); pcall(v.Set, v, 1, 2); "
         "pcall(v.XRot, v, Vector3()); return S(v)",
         "X: 1.00, Y: 2.00, Z: 3.00"},
    });
}

TEST_F(VectorBindingsTest, Vector3OperatorsWorkComponentByComponent) {
    Check({
        {"return S(Vector3(1, 2, 3) + Vector3(4, 5, 6))", "X: 5.00, Y: 7.00, Z: 9.00"},
        {"return S(Vector3(1, 2, 3) + 1)", "X: 2.00, Y: 3.00, Z: 4.00"},
        {"return S(Vector3(1, 2, 3) - Vector3(4, 6, 8))", "X: -3.00, Y: -4.00, Z: -5.00"},
        {"return S(Vector3(1, 2, 3) - 1)", "X: 0.00, Y: 1.00, Z: 2.00"},
        {"return S(Vector3(1, 2, 3) * Vector3(4, 5, 6))", "X: 4.00, Y: 10.00, Z: 18.00"},
        {"return S(Vector3(1, 2, 3) * 2)", "X: 2.00, Y: 4.00, Z: 6.00"},
        {"return S(Vector3(1, 2, 3) / Vector3(2, 4, 5))", "X: 0.50, Y: 0.50, Z: 0.60"},
        {"return S(Vector3(1, 2, 3) / 2)", "X: 0.50, Y: 1.00, Z: 1.50"},
        {"return S(Vector3(1, 0, 0) / 0):find('^X: inf, Y: %-?nan, Z: %-?nan$') ~= nil", "true"},
        {"local a, b = Vector3(1, 2, 3), Vector3(4, 5, 6); local c = a * b + a / 2 - b * 1 + 1; "
         "return S(a) .. ' / ' .. S(b)",
         "X: 1.00, Y: 2.00, Z: 3.00 / X: 4.00, Y: 5.00, Z: 6.00"},
        {"local v = Vector3(1, 2, 3); return rawequal(v + 0, v) or rawequal(v * Vector3(1, 1, 1), v)", "false"},
        {"return Vector3(1, 2, 3) == Vector3(1, 2, 3)", "true"},
        {"return Vector3(1, 2, 3) == Vector3(1, 2, 4)", "false"},
        {"return Vector3(0, 0, 0) == Vector3(-0.0, 0, 0)", "true"},
        {"return Vector3(0/0, 0, 0) == Vector3(0/0, 0, 0)", "false"},
        {"local v = Vector3(1, 0/0, 0); return v ~= Vector3(v)", "true"},
    });
}

TEST_F(VectorBindingsTest, Vector3OperatorsRefuseOtherOperandsAndHaveNoOthers) {
    Check({
        {"return 2 * Vector3(1, 2, 3)", kNoMatch},
        {"return 1 + Vector3()", kNoMatch},
        {"return Vector3() + Vector3i()", kNoMatch},
        {"return Vector3i() + Vector3()", kNoMatch},
        {"return Vector3() == Vector3i()", kNoMatch},
        {"return Vector3i() == Vector3()", kNoMatch},
        {"return Vector3() + '1'", kNoMatch},
        {"return Vector3() * nil", kNoMatch},
        {"return -Vector3()", "error: no __unm operator"},
        {"return Vector3() ^ 2", "error: no __pow operator"},
        {"return Vector3() % 2", "error: no __mod operator"},
        {"return Vector3() < Vector3()", "error: no __lt operator"},
        {"return Vector3() <= Vector3()", "error: no __le operator"},
        {"return Vector3() .. 'x'", "error: no __concat operator"},
        {"return #Vector3()", "error: no __len operator"},
        {"return Vector3()()", "error: no __call operator"},
        {"return tostring(Vector3())", "error: class Vector3: no __tostring operator"},
    });
}

TEST_F(VectorBindingsTest, Vector3iConstructorsAndSetRoundIntsToTheNearest) {
    Check({
        {"return S(Vector3i())", "X: 0.00, Y: 0.00, Z: 0.00"},
        {"return S(Vector3i(1, -2, 3))", "X: 1.00, Y: -2.00, Z: 3.00"},
        {"local a = Vector3i(1, 2, 3); local b = Vector3i(a); b:Set(4, 5, 6); return S(a)",
         "X: 1.00, Y: 2.00, Z: 3.00"},
        {"local a = Vector3i(); local n = select('#', a:Set(4, 5, 6)); return n .. ' ' .. S(a)",
         "0 X: 4.00, Y: 5.00, Z: 6.00"},
        // The vector form copies: a later change of the argument stays out.
        {"local a, b = Vector3i(4, 5, 6), Vector3i(1, 2, 3); local n = select('#', a:Set(b)); b:Set(7, 8, 9); "
         "return n .. ' ' .. S(a)",
         "0 X: 1.00, Y: 2.00, Z: 3.00"},
        {"return S(Vector3i(2.6, -2.6, 2.5))", "X: 3.00, Y: -3.00, Z: 2.00"},
        {"local a = Vector3i(); a:Set(0.5, 1.5, -1.5); return S(a)", "X: 0.00, Y: 2.00, Z: -2.00"},
        {"return Vector3i(-2147483648.4, 0, 0) == Vector3i(-2147483647 - 1, 0, 0)", "true"},
        // Beyond 32 bits the rounded value keeps its low 32 bits, two's
        // complement, for every value that has a 64-bit integer value.
        {"return S(Vector3i(2147483648, 0, 0))", "X: -2147483648.00, Y: 0.00, Z: 0.00"},
        {"return S(Vector3i(2147483647.5, -2147483648.5, 4294967295))", "X: -2147483648.00, Y: -2147483648.00, Z: -1.00"},
        {"return S(Vector3i(4294967297, -4294967297, 4294967296.5))", "X: 1.00, Y: -1.00, Z: 0.00"},
        {"local a = Vector3i(); a:Set(4294967297.5, 1e10, -1e10); return S(a)",
         "X: 2.00, Y: 1410065408.00, Z: -1410065408.00"},
        // The ends of the 64-bit range, exactly: -2^63 and the doubles next
        // to 2^63 and -2^63 inside the range convert, 2^63 and the next
        // double below -2^63 do not.
        {"return S(Vector3i(-2^63, 2^63 - 1024, -2^63 + 1024))", "X: 0.00, Y: -1024.00, Z: 1024.00"},
        {"return Vector3i(2^63, 0, 0)", "error: The number 9.2233720368547758e+18 has no 64-bit integer value."},
        {"return Vector3i(0, -2^63 - 2048, 0)", "error: has no 64-bit integer value"},
        {"return Vector3i(0, 0, 1e300)", "error: has no 64-bit integer value"},
        {"return Vector3i(0/0, 0, 0)", "error: has no 64-bit integer value"},
        {"return Vector3i(1/0, 0, 0)", "error: has no 64-bit integer value"},
        {"return Vector3i(0, -1/0, 0)", "error: has no 64-bit integer value"},
        {"return Vector3i(1, 2)", kNoMatch},
        {"return Vector3i('1', 2, 3)", kNoMatch},
        {"return Vector3i(Vector3())", kNoMatch},
        {"return Vector3i():Set(Vector3(1, 2, 3))", kNoMatch},
        {"local a = Vector3i(1, 2, 3); pcall(a.Set, a, 1, 2); pcall(a.Set, a, 'x', 1, 1); "
         "pcall(a.Set, a, 1e19, 1, 1); return S(a)",
         "X: 1.00, Y: 2.00, Z: 3.00"},
        {"return tostring(Vector3i(1, 2, 3).x)", "nil"},
    });
}

TEST_F(VectorBindingsTest, Vector3iOperatorsWrapAndTruncate) {
    Check({
        {"return S(Vector3i(1, 2, 3) + Vector3i(4, 5, 6))", "X: 5.00, Y: 7.00, Z: 9.00"},
        {"return S(Vector3i(1, 2, 3) + 1)", "X: 2.00, Y: 3.00, Z: 4.00"},
        {"return S(Vector3i(1, 2, 3) - Vector3i(4, 6, 8))", "X: -3.00, Y: -4.00, Z: -5.00"},
        {"return S(Vector3i(1, 2, 3) - 1)", "X: 0.00, Y: 1.00, Z: 2.00"},
        {"return S(Vector3i(1, 2, 3) * Vector3i(4, 5, 6))", "X: 4.00, Y: 10.00, Z: 18.00"},
        {"return S(Vector3i(1, 2, 3) * 2)", "X: 2.00, Y: 4.00, Z: 6.00"},
        {"return S(Vector3i(7, -7, 8) / 2)", "X: 3.00, Y: -3.00, Z: 4.00"},
        {"return S(Vector3i(7, -7, 8) / Vector3i(2, 2, 3))", "X: 3.00, Y: -3.00, Z: 2.00"},
        {"return S(Vector3i(2147483647, 0, 0) + 1)", "X: -2147483648.00, Y: 1.00, Z: 1.00"},
        {"return S(Vector3i(-2147483647 - 1, 0, 0) - 1)", "X: 2147483647.00, Y: -1.00, Z: -1.00"},
        {"return S(Vector3i(65536, 3, -3) * 65536)", "X: 0.00, Y: 196608.00, Z: -196608.00"},
        {"return S(Vector3i(2147483647, 2, 0) * Vector3i(2, 1073741824, 5))",
         "X: -2.00, Y: -2147483648.00, Z: 0.00"},
        // Int operands are rounded to the nearest integer, halves to even.
        {"return S(Vector3i(1, 1, 1) * 2.6)", "X: 3.00, Y: 3.00, Z: 3.00"},
        {"return S(Vector3i(1, 1, 1) * 2.5) .. ' / ' .. S(Vector3i(1, 1, 1) * 3.5)",
         "X: 2.00, Y: 2.00, Z: 2.00 / X: 4.00, Y: 4.00, Z: 4.00"},
        {"return S(Vector3i(10, 10, 10) / 2.6)", "X: 3.00, Y: 3.00, Z: 3.00"},
        // Int operands beyond 32 bits wrap like the constructor's.
        {"return S(Vector3i(1, 2, 3) + 2^31)", "X: -2147483647.00, Y: -2147483646.00, Z: -2147483645.00"},
        {"return S(Vector3i(1, 1, 1) * 4294967297)", "X: 1.00, Y: 1.00, Z: 1.00"},
        {"return S(Vector3i(1, 2, 3) - (2^63 - 1024))", "X: 1025.00, Y: 1026.00, Z: 1027.00"},
        {"return Vector3i(1, 2, 3) * 2^63", "error: has no 64-bit integer value"},
        {"return Vector3i(1, 2, 3) + 0/0", "error: has no 64-bit integer value"},
        {"local a, b = Vector3i(1, 2, 3), Vector3i(4, 5, 6); local c = a * b + a / 2 - b; return S(a) .. ' / ' .. S(b)",
         "X: 1.00, Y: 2.00, Z: 3.00 / X: 4.00, Y: 5.00, Z: 6.00"},
        {"return Vector3i(1, 2, 3) == Vector3i(1, 2, 3)", "true"},
        {"return Vector3i(1, 2, 3) == Vector3i(1, 2, 4)", "false"},
    });
}

TEST_F(VectorBindingsTest, Vector3iQuotientsWithoutAResultRaise) {
    Check({
        {"return Vector3i(1, 2, 3) / 0", "error: Vector3i division by zero."},
        {"return Vector3i(1, 2, 3) / 0.4", "error: Vector3i division by zero."},
        {"return Vector3i(1, 2, 3) / 4294967296", "error: Vector3i division by zero."},
        {"return Vector3i(1, 2, 3) / Vector3i(1, 0, 1)", "error: Vector3i division by zero."},
        {"return Vector3i(-2147483647 - 1, 0, 0) / -1", "error: Vector3i division overflows"},
        {"return Vector3i(-2147483647 - 1, 4, 4) / Vector3i(-1, 2, 2)", "error: Vector3i division overflows"},
        // The failure is the whole script error; nothing else is left behind.
        {"local a = Vector3i(5, 5, 5); local ok = pcall(function() return a / 0 end); return tostring(ok) .. ' ' .. S(a)",
         "false X: 5.00, Y: 5.00, Z: 5.00"},
    });
}

TEST_F(VectorBindingsTest, Vector3iOperatorsRefuseOtherOperandsAndHaveNoOthers) {
    Check({
        {"return 2 * Vector3i(1, 2, 3)", kNoMatch},
        {"return Vector3i() + '1'", kNoMatch},
        {"return Vector3i() / nil", kNoMatch},
        {"return -Vector3i()", "error: no __unm operator"},
        {"return Vector3i() < Vector3i()", "error: no __lt operator"},
        {"return Vector3i() .. ''", "error: no __concat operator"},
        {"return tostring(Vector3i())", "error: class Vector3i: no __tostring operator"},
    });
}

}  // namespace
}  // namespace Tav
