#include "world/Lxfml.h"

#include <pugixml.hpp>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <limits>
#include <system_error>

#include "core/Debug.h"
#include "math/Matrix4.h"
#include "math/Vector3.h"
#include "world/BrickCatalogue.h"
#include "world/ColourTable.h"

namespace Tav {

namespace {

// Cell sizes: the single-precision constants widened to double.
constexpr double kCellWidth = static_cast<double>(0.8f);    // 0.800000011920929
constexpr double kCellHeight = static_cast<double>(0.96f);  // 0.9599999785423279

// The transformation's fields: nine rotation entries, then the position.
constexpr int kRotationFields = 9;
constexpr int kTransformFields = 12;

bool IsSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

int64_t ReadLxfmlInteger(const char* s, const char* e)
{
    while (s < e && IsSpace(*s)) ++s;
    bool negative = false;
    if (s < e && (*s == '+' || *s == '-')) negative = *s++ == '-';
    // Magnitudes up to 2^63 are kept exactly, larger ones saturate there.
    constexpr uint64_t kCap = uint64_t(std::numeric_limits<int64_t>::max()) + 1;
    uint64_t v = 0;
    for (; s < e && IsDigit(*s); ++s) {
        const uint64_t d = uint64_t(*s - '0');
        v = v > (kCap - d) / 10 ? kCap : v * 10 + d;
    }
    if (negative) return v == kCap ? std::numeric_limits<int64_t>::min() : -static_cast<int64_t>(v);
    return v == kCap ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(v);
}

double ReadLxfmlNumber(const char* s, const char* e)
{
    while (s < e && IsSpace(*s)) ++s;
    bool negative = false;
    if (s < e && (*s == '+' || *s == '-')) negative = *s++ == '-';

    const char* start = s;
    // The digits as an integer while they fit (for the exact short way), and
    // the decimal order of magnitude (for values beyond the doubles).
    uint64_t mantissa = 0;
    int mantissaDigits = 0;     // significant digits taken into mantissa
    int64_t droppedDigits = 0;  // integer digits beyond those (each a factor 10)
    int64_t fractionDigits = 0; // fraction digits taken into mantissa
    bool exact = true;          // no non-zero digit was dropped
    int64_t significant = 0;    // integer digits after leading zeros
    int64_t fractionZeros = 0;  // leading zeros after the point when the integer part is 0
    bool nonZero = false;
    bool digits = false;
    auto take = [&](char c, bool fraction) {
        if (mantissa == 0 && c == '0') {
            if (fraction) ++fractionDigits;
            return;
        }
        if (mantissaDigits < 19) {
            mantissa = mantissa * 10 + uint64_t(c - '0');
            ++mantissaDigits;
            if (fraction) ++fractionDigits;
        } else {
            if (c != '0') exact = false;
            if (!fraction) ++droppedDigits;
        }
    };
    for (; s < e && IsDigit(*s); ++s) {
        digits = true;
        if (*s != '0') nonZero = true;
        if (nonZero) ++significant;
        take(*s, false);
    }
    if (s < e && *s == '.') {
        ++s;
        for (; s < e && IsDigit(*s); ++s) {
            digits = true;
            if (!nonZero) {
                if (*s == '0') ++fractionZeros;
                else nonZero = true;
            }
            take(*s, true);
        }
    }
    if (!digits) return 0.0;
    int64_t exponent = 0;
    if (s < e && (*s == 'e' || *s == 'E')) {
        const char* x = s + 1;
        bool negativeExponent = false;
        if (x < e && (*x == '+' || *x == '-')) negativeExponent = *x++ == '-';
        if (x < e && IsDigit(*x)) {
            for (; x < e && IsDigit(*x); ++x) exponent = std::min<int64_t>(exponent * 10 + (*x - '0'), 1000000000);
            if (negativeExponent) exponent = -exponent;
            s = x;
        }
    }

    // mantissa * 10^power exactly when both are exact doubles: one rounding,
    // so the result is the correctly rounded value (the common case: short
    // numbers such as "0.4" or "-1").
    static const double kPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                     1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const int64_t power = exponent + droppedDigits - fractionDigits;
    double value = 0.0;
    if (exact && mantissa <= (uint64_t(1) << 53) && power >= -22 && power <= 22) {
        value = power >= 0 ? double(mantissa) * kPowers[power] : double(mantissa) / kPowers[-power];
    } else {
        const std::from_chars_result r = std::from_chars(start, s, value, std::chars_format::general);
        if (r.ec == std::errc::result_out_of_range) {
            const int64_t magnitude = significant > 0 ? significant + exponent : exponent - fractionZeros;
            value = (nonZero && magnitude > 0) ? std::numeric_limits<double>::infinity() : 0.0;
        } else if (r.ec != std::errc()) {
            value = 0.0;
        }
    }
    return negative ? -value : value;
}

namespace {

// Rounding half away from zero, in double precision.
double RoundHalfAway(double v)
{
    const double s = v < 0.0 ? -1.0 : 1.0;
    return s * std::trunc(std::fabs(v) + 0.5);
}

// One field of a comma-separated value: [begin, end).
struct Field {
    const char* begin;
    const char* end;
};

// The first `count` fields of a value, at most; returns how many there are.
// Splitting never gives fewer than one field: the empty value is one empty
// field.
int SplitFields(const char* value, Field* fields, int count)
{
    const char* p = value;
    int n = 0;
    while (n < count) {
        const char* comma = std::strchr(p, ',');
        const char* end = comma ? comma : p + std::strlen(p);
        fields[n++] = Field{p, end};
        if (!comma) break;
        p = comma + 1;
    }
    return n;
}

Matrix4 Identity()
{
    Matrix4 m;
    m[0] = m[5] = m[10] = m[15] = 1.0;
    return m;
}

// A rotation matrix from three rows; the fourth row and column of the identity.
Matrix4 Rotation(const double (&rows)[3][3])
{
    Matrix4 m = Identity();
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) m[4 * r + c] = rows[r][c];
    return m;
}

// The three orientations told apart; any other matrix is rotation 3.
int RotationOf(const Matrix4& m)
{
    static const Matrix4 kReferences[3] = {
        Identity(),
        Rotation({{0, 0, 1}, {0, 1, 0}, {-1, 0, 0}}),
        Rotation({{-1, 0, 0}, {0, 1, 0}, {0, 0, -1}}),
    };
    for (int i = 0; i < 3; ++i)
        if (m == kReferences[i]) return i;
    return 3;
}

BrickType* TypeOfDesign(int64_t designNumber)
{
    std::vector<BrickType>& types = BrickCatalogue::Types();
    for (BrickType& type : types)
        if (type.designId == designNumber) return &type;
    return types.empty() ? nullptr : &types.front();
}

bool IsBrickElement(const pugi::xml_node& n)
{
    const char* name = n.name();
    return name[0] == 'B' && n.type() == pugi::node_element && std::strcmp(name, "Brick") == 0;
}

// Whether the per-brick queries stay within maxWork. Each walks
// its brick's whole subtree (and the attributes of what it finds), so the
// work is every node's (1 + attributes) times the Bricks above it: Bricks
// nested in Bricks make it quadratic. Counted in one walk of the document,
// without recursion, stopping as soon as the bound is passed.
bool WithinQueryWork(const pugi::xml_document& doc, uint64_t maxWork)
{
    uint64_t work = 0;
    uint64_t bricksAbove = 0;
    pugi::xml_node n = doc.first_child();
    while (n) {
        const bool brick = IsBrickElement(n);
        if (bricksAbove > 0) {
            uint64_t attributes = 0;
            for (pugi::xml_attribute a = n.first_attribute(); a; a = a.next_attribute()) ++attributes;
            work += bricksAbove * (1 + attributes);
            if (work > maxWork) return false;
        }
        if (pugi::xml_node child = n.first_child()) {
            if (brick) ++bricksAbove;
            n = child;
            continue;
        }
        while (n != doc && !n.next_sibling()) {
            n = n.parent();
            if (n != doc && IsBrickElement(n)) --bricksAbove;
        }
        n = n == doc ? pugi::xml_node() : n.next_sibling();
    }
    return true;
}

bool FitsInt32(int64_t v) { return v >= std::numeric_limits<int32_t>::min() && v <= std::numeric_limits<int32_t>::max(); }

// The cell of a coordinate: rounded, plus the origin's; false when the
// cell, or a cell of the shape around it, has no 32-bit coordinate.
bool CellOf(double units, double cellSize, int32_t origin, int32_t shapeMin, int32_t shapeMax, int32_t& cell)
{
    const double rounded = RoundHalfAway(units / cellSize);
    if (!(rounded >= -2147483648.0 && rounded <= 2147483647.0)) return false;  // NaN too
    const int64_t v = static_cast<int64_t>(rounded) + origin;
    if (!FitsInt32(v) || !FitsInt32(v + shapeMin) || !FitsInt32(v + shapeMax)) return false;
    cell = static_cast<int32_t>(v);
    return true;
}

template <class... Args>
void Report(const char* format, Args... args)
{
    char line[160];
    std::snprintf(line, sizeof line, format, args...);
    DebugOutput(line);
}

// v + d clamped to the 32-bit range.
int32_t ClampedSum(int32_t v, int32_t d)
{
    const int64_t s = int64_t(v) + d;
    return static_cast<int32_t>(std::clamp<int64_t>(s, std::numeric_limits<int32_t>::min(),
                                                    std::numeric_limits<int32_t>::max()));
}

}  // namespace

void LxfmlDesign::AddBrick(const LxfmlBrick& brick)
{
    bricks.push_back(brick);
    int32_t min[3] = {0, 0, 0};
    int32_t max[3] = {0, 0, 0};
    if (brick.shape) BrickShape::ComputeBounds(brick.shape->cells, min, max);
    minX = std::min(minX, ClampedSum(brick.x, min[0]));
    minY = std::min(minY, ClampedSum(brick.y, min[1]));
    minZ = std::min(minZ, ClampedSum(brick.z, min[2]));
    maxX = std::max(maxX, ClampedSum(brick.x, max[0]));
    maxY = std::max(maxY, ClampedSum(brick.y, max[1]));
    maxZ = std::max(maxZ, ClampedSum(brick.z, max[2]));
}

LxfmlResult ParseLxfml(const std::string& text, const Vector3i& origin, LxfmlDesign& design,
                       const LxfmlLimits& limits)
{
    if (text.size() > limits.textBytes) {
        Report("Design refused: more than %zu bytes of XML\n", limits.textBytes);
        return LxfmlResult::TooLong;
    }

    pugi::xml_document doc;
    const pugi::xml_parse_result parsed = doc.load_buffer(text.data(), text.size());
    DebugOutput(std::string("Parsing XML... result: ") + parsed.description() + "\n");
    if (!parsed) return LxfmlResult::NotXml;

    // Compiled once; evaluating a query does not change it, so threads share them.
    static const pugi::xpath_query bricksQuery("//Brick");
    static const pugi::xpath_query materialsQuery("descendant::Part/@materials");
    static const pugi::xpath_query transformationQuery("descendant::Bone/@transformation");

    pugi::xpath_node_set nodes = bricksQuery.evaluate_node_set(doc);
    if (nodes.empty()) return LxfmlResult::Parsed;
    if (nodes.size() > limits.bricks) {
        Report("Design refused: more than %zu bricks\n", limits.bricks);
        return LxfmlResult::TooManyBricks;
    }
    if (!WithinQueryWork(doc, limits.queryWork)) {
        DebugOutput("Design refused: its bricks are nested too deeply\n");
        return LxfmlResult::TooMuchWork;
    }
    nodes.sort();
    design.bricks.reserve(design.bricks.size() + nodes.size());
    size_t leftOut = 0;
    for (const pugi::xpath_node& node : nodes) {
        const pugi::xml_node brick = node.node();
        const char* designId = brick.attribute("designID").value();
        BrickType* type = TypeOfDesign(ReadLxfmlInteger(designId, designId + std::strlen(designId)));
        if (!type || type->shapes.empty()) continue;

        const char* materials = materialsQuery.evaluate_node(brick).attribute().value();
        Field first;
        SplitFields(materials, &first, 1);
        const int64_t material = ReadLxfmlInteger(first.begin, first.end);
        const uint8_t colour = FitsInt32(material) ? ColourTable::IndexOfMaterial(static_cast<int32_t>(material)) : 0;

        const char* transformation = transformationQuery.evaluate_node(brick).attribute().value();
        Field fields[kTransformFields];
        const int fieldCount = SplitFields(transformation, fields, kTransformFields);
        double values[kTransformFields] = {};
        for (int i = 0; i < fieldCount; ++i) values[i] = ReadLxfmlNumber(fields[i].begin, fields[i].end);

        Matrix4 matrix = Identity();
        for (int i = 0; i < kRotationFields && i < fieldCount; ++i) matrix[4 * (i / 3) + i % 3] = RoundHalfAway(values[i]);
        const int rotation = RotationOf(matrix);
        const Vector3 position(values[9], values[10], values[11]);  // 0 where a field is missing

        const auto offsetIt = type->placementOffsets.find(rotation);
        const Vector3 offset = offsetIt == type->placementOffsets.end() ? Vector3(0.0, 0.0, 0.0) : offsetIt->second;
        BrickShape* shape = &type->shapes[static_cast<size_t>(rotation) % type->shapes.size()];

        int32_t min[3] = {0, 0, 0};
        int32_t max[3] = {0, 0, 0};
        BrickShape::ComputeBounds(shape->cells, min, max);
        LxfmlBrick b;
        b.shape = shape;
        b.colour = colour;
        if (!CellOf(position.x - offset.x, kCellWidth, origin.x, min[0], max[0], b.x) ||
            !CellOf(position.y - offset.y, kCellHeight, origin.y, min[1], max[1], b.y) ||
            !CellOf(position.z - offset.z, kCellWidth, origin.z, min[2], max[2], b.z)) {
            ++leftOut;
            continue;
        }
        design.AddBrick(b);
    }
    if (leftOut > 0) Report("Design: %zu bricks left out, their cells lie beyond the world's coordinates\n", leftOut);
    return LxfmlResult::Parsed;
}

LxfmlResult LoadLxfmlFile(LxfmlDesign& design, const Vector3i& origin)
{
    const LxfmlLimits& limits = kOperatorLxfmlLimits;
    std::ifstream file("test.lxfml", std::ios::in | std::ios::binary);
    if (!file.is_open()) return LxfmlResult::NoFile;
    // At most one byte more than a design may have, so that a longer file is
    // refused rather than cut (and a file that never ends is not read forever).
    std::string text;
    char block[65536];
    while (text.size() <= limits.textBytes && file.read(block, sizeof block).gcount() > 0)
        text.append(block, std::min(static_cast<size_t>(file.gcount()), limits.textBytes + 1 - text.size()));
    return ParseLxfml(text, origin, design, limits);
}

}  // namespace Tav
