// LXFML designs: what is read of a document, how cells and rotations are
// computed, and what a hostile document gets.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/ProcessHarness.h"
#include "sql/TempDir.h"
#include "world/DesignText.h"
#include "world/BrickCatalogue.h"
#include "world/ColourTable.h"
#include "world/Lxfml.h"

namespace Tav {
namespace {

const char* const kIdentity = "1,0,0,0,1,0,0,0,1";
const char* const kRotation1 = "0,0,1,0,1,0,-1,0,0";

std::string Brick(const char* designId, const char* materials, const char* transformation)
{
    return TavTest::LxfmlBrickElement(designId, materials, transformation ? transformation : "", transformation != nullptr);
}

std::string Brick(const char* designId, const char* materials, const std::string& transformation)
{
    return TavTest::LxfmlBrickElement(designId, materials, transformation);
}

std::string Document(const std::string& bricks) { return TavTest::LxfmlDocument(bricks); }

std::string Transform(const char* rotation, const std::string& position) { return std::string(rotation) + "," + position; }

class LxfmlTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        BrickCatalogue::Build();
        ColourTable::Build();
    }

    static const BrickType& Type(int id) { return BrickCatalogue::Types()[static_cast<size_t>(id)]; }
    static const BrickShape* ShapeOf(int type, int shape) { return &Type(type).shapes[static_cast<size_t>(shape)]; }

    // The design of one document parsed at the origin (0, 0, 0).
    static LxfmlDesign Parse(const std::string& text, LxfmlResult* result = nullptr, Vector3i origin = {})
    {
        LxfmlDesign design;
        const LxfmlResult r = ParseLxfml(text, origin, design);
        if (result) *result = r;
        return design;
    }
    static LxfmlDesign ParseOne(const char* designId, const char* materials, const std::string& transformation)
    {
        return Parse(Document(Brick(designId, materials, transformation.c_str())));
    }
    static Vector3i CellOf(const LxfmlBrick& b) { return {b.x, b.y, b.z}; }
    static std::vector<int32_t> Box(const LxfmlDesign& d) { return {d.minX, d.minY, d.minZ, d.maxX, d.maxY, d.maxZ}; }
};

TEST_F(LxfmlTest, TheWorkedExampleGivesOneBrickAtCell110)
{
    // Material 9999 is in no colour record.
    const LxfmlDesign d = ParseOne("3004", "9999,0", "0,0,1,0,1,0,-1,0,0,1.2,0.96,0.4");
    ASSERT_EQ(d.bricks.size(), 1u);
    EXPECT_EQ(d.bricks[0].shape, ShapeOf(1, 1));
    EXPECT_EQ(CellOf(d.bricks[0]), Vector3i(1, 1, 0));
    EXPECT_EQ(d.bricks[0].colour, 0);
    EXPECT_EQ(Box(d), (std::vector<int32_t>{0, 0, 0, 1, 1, 1}));
}

TEST_F(LxfmlTest, PositionsRoundHalfAwayFromZeroAfterTheOffset)
{
    const struct {
        const char* position;
        Vector3i cell;
    } cases[] = {
        {"0.4,0,0.4", {0, 0, 0}},
        {"0.8,0,0.4", {0, 0, 0}},  // (0.8 - 0.4000000059604645) / 0.800000011920929 = 0.49999998
        {"1.2,0,0.4", {1, 0, 0}},
        {"0,0,0.4", {-1, 0, 0}},   // exactly -0.5 rounds away from zero
        {"-0.4,0.48,-0.4", {-1, 1, -1}},
        {"0.4,0.47,0.4", {0, 0, 0}},
        {"4.4,2.88,4.4", {5, 3, 5}},
    };
    for (const auto& c : cases) {
        const LxfmlDesign d = ParseOne("3005", "21", Transform(kIdentity, c.position));
        ASSERT_EQ(d.bricks.size(), 1u) << c.position;
        EXPECT_EQ(CellOf(d.bricks[0]), c.cell) << c.position;
    }
}

TEST_F(LxfmlTest, TheMatrixChoosesTheRotationAndTheRotationTheShape)
{
    // Design 3040 (type 4) has one shape per rotation, so its shape shows the rotation.
    const struct {
        const char* what;
        const char* design;
        int type;
        const char* rotation;
        int shape;
    } cases[] = {
        {"identity", "3040", 4, kIdentity, 0},
        {"rotation 1", "3040", 4, kRotation1, 1},
        {"rotation 2", "3040", 4, "-1,0,0,0,1,0,0,0,-1", 2},
        {"the remaining quarter turn", "3040", 4, "0,0,-1,0,1,0,1,0,0", 3},
        {"tilted", "3040", 4, "1,0,0,0,0,-1,0,1,0", 3},
        {"mirrored", "3040", 4, "-1,0,0,0,1,0,0,0,1", 3},
        {"entries 0.5 and -0.5 round to 1 and -1", "3040", 4, "0,0,0.5,0,0.5,0,-0.5,0,0", 1},
        {"0.49 rounds to 0", "3040", 4, "0.49,0,0,0,1,0,0,0,1", 3},
        {"small errors still classify", "3040", 4, "0.0001,-0.0001,0.9999,0,1,0,-0.9999,0.0001,-0.0001", 1},
        {"an empty field reads 0 and keeps its place", "3040", 4, "1,,0,0,1,0,0,0,1", 0},
        {"3001 with rotation 3", "3001", 3, "0,0,-1,0,1,0,1,0,0", 1},
        {"3001 with rotation 2", "3001", 3, "-1,0,0,0,1,0,0,0,-1", 0},
        {"3004 with rotation 1", "3004", 1, kRotation1, 1},
        {"3003 has one shape", "3003", 2, kRotation1, 0},
        {"3005 has one shape", "3005", 0, "0,0,-1,0,1,0,1,0,0", 0},
    };
    for (const auto& c : cases) {
        const LxfmlDesign d = ParseOne(c.design, "21", Transform(c.rotation, "0.4,0,0.4"));
        ASSERT_EQ(d.bricks.size(), 1u) << c.what;
        EXPECT_EQ(d.bricks[0].shape, ShapeOf(c.type, c.shape)) << c.what;
    }
}

TEST_F(LxfmlTest, TransformationFieldsAndNumbers)
{
    const struct {
        const char* what;
        const char* transformation;  // null: no attribute
        bool kept;
        Vector3i cell;
        int shape;  // of design 3040
    } cases[] = {
        {"nine fields: position (0, 0, 0)", kIdentity, true, {-1, 0, -1}, 0},
        {"fifteen fields: the last three ignored", "1,0,0,0,1,0,0,0,1,4.4,0,4.4,9,9,9", true, {5, 0, 5}, 0},
        {"no attribute: rotation 3 at (0, 0, 0)", nullptr, true, {-1, 0, -1}, 3},
        {"an empty value: rotation 3 at (0, 0, 0)", "", true, {-1, 0, -1}, 3},
        {"white space and a sign", "1,0,0,0,1,0,0,0,1, +4.4,\t0, 4.4", true, {5, 0, 5}, 0},
        {"an exponent", "1,0,0,0,1,0,0,0,1,44e-1,0,0.044E2", true, {5, 0, 5}, 0},
        {"reading stops at other characters", "1,0,0,0,1,0,0,0,1,4.4cm,0,4.4e", true, {5, 0, 5}, 0},
        {"no number reads 0", "1,0,0,0,1,0,0,0,1,abc,x,.", true, {-1, 0, -1}, 0},
        {"no infinities, NaNs or hexadecimal", "1,0,0,0,1,0,0,0,1,inf,nan,0x10", true, {-1, 0, -1}, 0},
        {"a magnitude below the doubles reads 0", "1,0,0,0,1,0,0,0,1,1e-400,0,4.4", true, {-1, 0, 5}, 0},
        {"a magnitude beyond the doubles is left out", "1,0,0,0,1,0,0,0,1,1e400,0,4.4", false, {}, 0},
        {"a cell beyond 32 bits is left out", "1,0,0,0,1,0,0,0,1,1e12,0,4.4", false, {}, 0},
        {"the last cell that fits is kept", "1,0,0,0,1,0,0,0,1,0.4,0,-1717986943.6", true, {0, 0, -2147483648}, 0},
        {"one cell further is left out", "1,0,0,0,1,0,0,0,1,0.4,0,-1717986944.4", false, {}, 0},
        {"a shape cell beyond 32 bits is left out", "1,0,0,0,1,0,0,0,1,0.4,0,1717986943.6", false, {}, 0},
        {"an infinite rotation entry is rotation 3", "1e400,0,0,0,1,0,0,0,1,0.4,0,0.4", true, {0, 0, 0}, 3},
    };
    for (const auto& c : cases) {
        const std::string bricks = Brick("3040", "21", c.transformation);
        const LxfmlDesign d = Parse(Document(bricks));
        ASSERT_EQ(d.bricks.size(), c.kept ? 1u : 0u) << c.what;
        if (!c.kept) continue;
        EXPECT_EQ(CellOf(d.bricks[0]), c.cell) << c.what;
        EXPECT_EQ(d.bricks[0].shape, ShapeOf(4, c.shape)) << c.what;
    }
}

TEST(LxfmlNumbers, DecimalNumbersAreReadAsTheCLibraryReadsThem)
{
    auto read = [](const std::string& t) { return ReadLxfmlNumber(t.data(), t.data() + t.size()); };
    // Every decimal form, correctly rounded: random digits, points and exponents.
    std::mt19937_64 random(3);
    for (int i = 0; i < 20000; ++i) {
        std::string t = (random() % 3 == 0) ? "-" : "";
        const int digits = 1 + int(random() % 24);
        const int point = int(random() % (digits + 1));
        for (int d = 0; d < digits; ++d) {
            if (d == point && d > 0) t += '.';
            t += char('0' + random() % 10);
        }
        if (random() % 2) t += "e" + std::to_string(int(random() % 600) - 300);
        EXPECT_EQ(read(t), std::strtod(t.c_str(), nullptr)) << t;
    }
    const struct {
        const char* text;
        double value;
    } cases[] = {
        {"0.4", 0.4},       {" \t+1.5x", 1.5},   {"-.5", -0.5},   {"5.", 5.0},   {"1e", 1.0},
        {"1e+", 1.0},       {"2E-1", 0.2},       {".", 0.0},      {"-", 0.0},    {"", 0.0},
        {"inf", 0.0},       {"nan", 0.0},        {"0x1p3", 0.0},  {"1e400", std::numeric_limits<double>::infinity()},
        {"-1e400", -std::numeric_limits<double>::infinity()},      {"1e-400", 0.0},
        {"12345678901234567890123", 12345678901234567890123.0},    {"0.000000000000000000000001", 1e-24},
    };
    for (const auto& c : cases) EXPECT_EQ(read(c.text), c.value) << c.text;
    auto integer = [](const std::string& t) { return ReadLxfmlInteger(t.data(), t.data() + t.size()); };
    EXPECT_EQ(integer(" -3004abc"), -3004);
    EXPECT_EQ(integer("99999999999999999999"), std::numeric_limits<int64_t>::max());
    EXPECT_EQ(integer("-99999999999999999999"), std::numeric_limits<int64_t>::min());
    EXPECT_EQ(integer("x1"), 0);
}

TEST_F(LxfmlTest, DesignNumbersAndMaterials)
{
    const struct {
        const char* what;
        const char* designId;
        const char* materials;
        int type;
        int colour;
    } cases[] = {
        {"3004 with material 21", "3004", "21,0", 1, 5},
        {"leading blanks, trailing text", " 3003x", " 1abc", 2, 7},
        {"a sign", "+3001", "+199", 3, 1},
        {"no such design", "3006", "21", 0, 5},
        {"a negative design", "-3004", "-21", 0, 0},
        {"no number", "abc", "abc", 0, 0},
        {"beyond 64 bits", "99999999999999999999999", "99999999999999999999", 0, 0},
        {"beyond 32 bits", "4294970300", "4294967317", 0, 0},
        {"no attributes", nullptr, nullptr, 0, 0},
        {"empty attributes", "", "", 0, 0},
    };
    for (const auto& c : cases) {
        const LxfmlDesign d = Parse(Document(Brick(c.designId, c.materials, "1,0,0,0,1,0,0,0,1,4.4,0,4.4")));
        ASSERT_EQ(d.bricks.size(), 1u) << c.what;
        EXPECT_EQ(d.bricks[0].shape->owner, &Type(c.type)) << c.what;
        EXPECT_EQ(d.bricks[0].colour, c.colour) << c.what;
    }
}

TEST_F(LxfmlTest, OnlyTheFirstPartAndBoneOfABrickCount)
{
    // The first Part and Bone in document order, at any depth below the Brick.
    const std::string brick =
        "<Brick designID='3005'><Group><Part materials='1'><Bone transformation='1,0,0,0,1,0,0,0,1,1.2,0,0.4'/>"
        "</Part></Group><Part materials='21'><Bone transformation='1,0,0,0,1,0,0,0,1,4.4,0,4.4'/></Part></Brick>";
    const LxfmlDesign d = Parse(Document(brick));
    ASSERT_EQ(d.bricks.size(), 1u);
    EXPECT_EQ(d.bricks[0].colour, 7);
    EXPECT_EQ(CellOf(d.bricks[0]), Vector3i(1, 0, 0));
}

TEST_F(LxfmlTest, BricksFollowDocumentOrderAtEveryDepth)
{
    const std::string text = "<LXFML><Brick designID='3005'/><Bricks><Group><Group>" + Brick("3004", "1", kIdentity) +
                             "</Group></Group>" + Brick("3003", "1", kIdentity) +
                             "</Bricks><Brick designID='3001'><Brick designID='3040'/></Brick></LXFML>";
    const LxfmlDesign d = Parse(text);
    ASSERT_EQ(d.bricks.size(), 5u);
    const int expected[] = {0, 1, 2, 3, 4};
    for (size_t i = 0; i < 5; ++i) EXPECT_EQ(d.bricks[i].shape->owner, &Type(expected[i])) << i;
}

TEST_F(LxfmlTest, TheBoxCoversEveryCellAndTheOrigin)
{
    // A 1 x 1 brick at (5, 0, 5) alone: the box still holds (0, 0, 0).
    LxfmlDesign d = ParseOne("3005", "21", Transform(kIdentity, "4.4,0,4.4"));
    EXPECT_EQ(Box(d), (std::vector<int32_t>{0, 0, 0, 5, 0, 5}));

    // A 2 x 4 brick of shape 0 reaches from x - 1 to x + 2 and z to z + 1;
    // a parse at another origin moves the cells, not the box's start.
    d = Parse(Document(Brick("3001", "21", Transform(kIdentity, "-0.4,0,1.2")) +
                       Brick("3005", "21", Transform(kIdentity, "0.4,1.92,0.4"))),
              nullptr, Vector3i(10, -3, 7));
    ASSERT_EQ(d.bricks.size(), 2u);
    EXPECT_EQ(CellOf(d.bricks[0]), Vector3i(10, -3, 7));
    EXPECT_EQ(CellOf(d.bricks[1]), Vector3i(10, -1, 7));
    EXPECT_EQ(Box(d), (std::vector<int32_t>{0, -3, 0, 12, 0, 8}));

    // Parsing into a design that has bricks appends and widens.
    ParseLxfml(Document(Brick("3005", "21", Transform(kIdentity, "-7.6,0,0.4"))), Vector3i(), d);
    ASSERT_EQ(d.bricks.size(), 3u);
    EXPECT_EQ(d.minX, -10);
}

TEST_F(LxfmlTest, TextThatDoesNotParseLeavesTheDesignAndSaysWhy)
{
    LxfmlDesign d = ParseOne("3005", "21", kIdentity);
    ASSERT_EQ(d.bricks.size(), 1u);
    const std::vector<int32_t> box = Box(d);

    const struct {
        std::string text;
        LxfmlResult result;
        const char* line;
    } cases[] = {
        {"<LXFML><Brick></LXFML>", LxfmlResult::NotXml, "Parsing XML... result: Start-end tags mismatch\n"},
        {"", LxfmlResult::NotXml, "Parsing XML... result: No document element found\n"},
        {"<LXFML><Bricks/></LXFML>", LxfmlResult::Parsed, "Parsing XML... result: No error\n"},
    };
    for (const auto& c : cases) {
        testing::internal::CaptureStderr();
        const LxfmlResult r = ParseLxfml(c.text, Vector3i(), d);
        EXPECT_EQ(testing::internal::GetCapturedStderr(), c.line);
        EXPECT_EQ(r, c.result);
        EXPECT_EQ(d.bricks.size(), 1u);
        EXPECT_EQ(Box(d), box);
    }
}

TEST_F(LxfmlTest, HostileDocumentsAreRefusedWholeOrParsedWithinBounds)
{
    std::string manyBricks = "<LXFML>";
    for (size_t i = 0; i <= kMaxLxfmlBricks; ++i) manyBricks += "<Brick/>";
    manyBricks += "</LXFML>";

    // Bricks nested in Bricks: every brick's queries would walk all below it.
    // n of them cost n (n - 1) / 2 visits: 1449 are one level too many.
    auto nestedBricks = [](int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s += "<Brick>";
        for (int i = 0; i < n; ++i) s += "</Brick>";
        return s;
    };
    const std::string nested = nestedBricks(1449);

    std::string deep;  // deep, but no Bricks: nothing to query, nothing refused
    for (int i = 0; i < 200000; ++i) deep += "<a>";
    for (int i = 0; i < 200000; ++i) deep += "</a>";

    std::mt19937 random(7);
    std::string garbage(1 << 16, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    garbage.replace(0, 7, "<LXFML>");

    const struct {
        const char* what;
        std::string text;
        LxfmlResult result;
        const char* line;
    } cases[] = {
        {"too long", std::string(kMaxLxfmlTextBytes + 1, ' '), LxfmlResult::TooLong, "Design refused: "},
        {"too many bricks", manyBricks, LxfmlResult::TooManyBricks, "Design refused: more than 20000 bricks\n"},
        {"bricks nested in bricks", nested, LxfmlResult::TooMuchWork,
         "Design refused: its bricks are nested too deeply\n"},
        {"deep nesting without bricks", deep, LxfmlResult::Parsed, "Parsing XML... result: No error\n"},
        {"garbage", garbage, LxfmlResult::NotXml, "Parsing XML... result: "},
    };
    for (const auto& c : cases) {
        LxfmlDesign d;
        testing::internal::CaptureStderr();
        EXPECT_EQ(ParseLxfml(c.text, Vector3i(), d), c.result) << c.what;
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_NE(err.find(c.line), std::string::npos) << c.what << ": " << err;
        EXPECT_TRUE(d.bricks.empty()) << c.what;
    }

    // At the bounds a design is parsed whole.
    LxfmlResult r;
    EXPECT_EQ(Parse(nestedBricks(1448), &r).bricks.size(), 1448u);
    EXPECT_EQ(r, LxfmlResult::Parsed);
    std::string atLimit = "<LXFML>";
    for (size_t i = 0; i < kMaxLxfmlBricks; ++i) atLimit += "<Brick/>";
    atLimit += "</LXFML>";
    EXPECT_EQ(Parse(atLimit, &r).bricks.size(), kMaxLxfmlBricks);
    EXPECT_EQ(r, LxfmlResult::Parsed);
}

TEST_F(LxfmlTest, ThreadsParseAtTheSameTime)
{
    std::string text;
    for (int i = 0; i < 200; ++i) text += Brick("3004", "21", Transform(kRotation1, std::to_string(i * 0.8) + ",0,0.4"));
    text = Document(text);
    const LxfmlDesign expected = Parse(text);
    ASSERT_EQ(expected.bricks.size(), 200u);

    std::vector<LxfmlDesign> results(4);
    std::vector<std::thread> threads;
    for (LxfmlDesign& out : results)
        threads.emplace_back([&text, &out] {
            for (int i = 0; i < 5; ++i) {
                out = LxfmlDesign();
                ParseLxfml(text, Vector3i(), out);
            }
        });
    for (std::thread& t : threads) t.join();
    for (const LxfmlDesign& d : results) {
        ASSERT_EQ(d.bricks.size(), expected.bricks.size());
        for (size_t i = 0; i < d.bricks.size(); ++i) EXPECT_EQ(CellOf(d.bricks[i]), CellOf(expected.bricks[i]));
    }
}

// Runs in a temporary working folder.
class LxfmlFileTest : public LxfmlTest {
protected:
    void SetUp() override
    {
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_.Path());
    }
    void TearDown() override { std::filesystem::current_path(previous_); }
    TavTest::TempDir dir_;
    std::filesystem::path previous_;
};

TEST_F(LxfmlFileTest, TheFileIsReadFromTheWorkingFolderWhenThereIsOne)
{
    LxfmlDesign d;
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadLxfmlFile(d, Vector3i()), LxfmlResult::NoFile);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");  // no file: not even the parser's line
    EXPECT_TRUE(d.bricks.empty());

    std::ofstream(dir_.File("test.lxfml")) << Document(Brick("3005", "21", Transform(kIdentity, "4.4,0,4.4")));
    EXPECT_EQ(LoadLxfmlFile(d, Vector3i(1, 2, 3)), LxfmlResult::Parsed);
    ASSERT_EQ(d.bricks.size(), 1u);
    EXPECT_EQ(CellOf(d.bricks[0]), Vector3i(6, 2, 8));

    // A file longer than the operator's bound is refused, not cut.
    {
        std::ofstream big(dir_.File("test.lxfml"));
        big << "<LXFML>" << Brick("3005", "21", kIdentity) << std::string(kOperatorLxfmlLimits.textBytes, ' ')
            << "</LXFML>";
    }
    LxfmlDesign refused;
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadLxfmlFile(refused, Vector3i()), LxfmlResult::TooLong);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Design refused: more than 67108864 bytes of XML\n");
    EXPECT_TRUE(refused.bricks.empty());
}

// The operator's own design is no client's: a real design beyond the client
// limits (30 000 bricks, about 5 MiB) is read whole from the file, while the
// same text sent by a client is refused.
TEST_F(LxfmlFileTest, TheOperatorsFileHasBoundsOfItsOwn)
{
    std::vector<Vector3i> cells;
    for (int32_t i = 0; i < 30000; ++i) cells.emplace_back(i % 48 - 40, i / 2304 + 24, i / 48 % 48 - 24);
    const std::string text = TavTest::ToolStyleLxfmlDocument(cells);
    ASSERT_GT(text.size(), 5u * 1000u * 1000u);
    LxfmlResult sent;
    EXPECT_TRUE(Parse(text, &sent).bricks.empty());
    EXPECT_EQ(sent, LxfmlResult::TooLong);

    std::ofstream(dir_.File("test.lxfml"), std::ios::binary) << text;
    LxfmlDesign d;
    testing::internal::CaptureStderr();
    EXPECT_EQ(LoadLxfmlFile(d, Vector3i()), LxfmlResult::Parsed);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Parsing XML... result: No error\n");
    ASSERT_EQ(d.bricks.size(), cells.size());
    for (size_t i = 0; i < cells.size(); ++i) ASSERT_EQ(CellOf(d.bricks[i]), cells[i]) << i;
    EXPECT_EQ(Box(d), (std::vector<int32_t>{-40, 0, -24, 7, 37, 23}));

    // More Brick elements than the operator's bound, or Bricks nested in
    // Bricks past its query bound (n of them cost n (n - 1) / 2 visits), are
    // still refused.
    auto repeat = [](const char* piece, size_t n) {
        std::string out;
        for (size_t i = 0; i < n; ++i) out += piece;
        return out;
    };
    const struct {
        std::string text;
        LxfmlResult result;
    } cases[] = {
        {"<LXFML>" + repeat("<Brick/>", kOperatorLxfmlLimits.bricks + 1) + "</LXFML>", LxfmlResult::TooManyBricks},
        {repeat("<Brick>", 5794) + repeat("</Brick>", 5794), LxfmlResult::TooMuchWork},
    };
    for (const auto& c : cases) {
        std::ofstream(dir_.File("test.lxfml"), std::ios::binary | std::ios::trunc) << c.text;
        LxfmlDesign none;
        testing::internal::CaptureStderr();
        EXPECT_EQ(LoadLxfmlFile(none, Vector3i()), c.result);
        testing::internal::GetCapturedStderr();
        EXPECT_TRUE(none.bricks.empty());
    }
}

TEST_F(LxfmlFileTest, TheShippedHouseHasEveryBrickTypeInSeveralColours)
{
    const std::filesystem::path asset = std::filesystem::path(TavTest::SourceDir()) / "assets/designs/test.lxfml";
    std::filesystem::copy_file(asset, dir_.File("test.lxfml"));
    LxfmlDesign d;
    LoadLxfmlFile(d, Vector3i());

    std::ifstream in(asset);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    size_t elements = 0;
    for (size_t at = text.find("<Brick "); at != std::string::npos; at = text.find("<Brick ", at + 1)) ++elements;
    EXPECT_GE(elements, 24u);
    EXPECT_EQ(d.bricks.size(), elements);  // every brick read, none left out

    std::set<const BrickType*> types;
    std::set<int> colours;
    std::set<std::vector<int32_t>> cells;
    size_t cellCount = 0;
    for (const LxfmlBrick& b : d.bricks) {
        types.insert(b.shape->owner);
        colours.insert(b.colour);
        for (const BrickCell* c : b.shape->cells) {
            cells.insert({b.x + c->dx, b.y + c->dy, b.z + c->dz});
            ++cellCount;
        }
    }
    EXPECT_EQ(types.size(), 5u);
    EXPECT_GE(colours.size(), 4u);
    EXPECT_EQ(cells.size(), cellCount);  // no two bricks share a cell
}

}  // namespace
}  // namespace Tav
