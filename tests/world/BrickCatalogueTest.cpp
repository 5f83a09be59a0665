#include <gtest/gtest.h>

#include <vector>

#include "world/BrickCatalogue.h"
#include "world/TerrainGenerator.h"

namespace Tav {
namespace {

class BrickCatalogueTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { BrickCatalogue::Build(); }
};

struct ExpectedCell {
    uint16_t index;
    uint8_t type;
    uint8_t shape;
    int32_t dx, dz;
    int32_t kind;
    uint8_t category;
};

const ExpectedCell kCells[] = {
    {1, 0, 0, 0, 0, 0, 0},
    {2, 1, 0, 1, 0, 0, 0},   {3, 1, 0, 0, 0, 0, 0},   {4, 1, 1, 0, 1, 0, 0},   {5, 1, 1, 0, 0, 0, 0},
    {6, 2, 0, 1, 0, 0, 0},   {7, 2, 0, 0, 0, 0, 0},   {8, 2, 0, 1, 1, 0, 0},   {9, 2, 0, 0, 1, 0, 0},
    {10, 3, 0, 2, 0, 0, 0},  {11, 3, 0, 1, 0, 0, 0},  {12, 3, 0, 0, 0, 0, 0},  {13, 3, 0, -1, 0, 0, 0},
    {14, 3, 0, 2, 1, 0, 0},  {15, 3, 0, 1, 1, 0, 0},  {16, 3, 0, 0, 1, 0, 0},  {17, 3, 0, -1, 1, 0, 0},
    {18, 3, 1, 1, 2, 0, 0},  {19, 3, 1, 1, 1, 0, 0},  {20, 3, 1, 1, 0, 0, 0},  {21, 3, 1, 1, -1, 0, 0},
    {22, 3, 1, 0, 2, 0, 0},  {23, 3, 1, 0, 1, 0, 0},  {24, 3, 1, 0, 0, 0, 0},  {25, 3, 1, 0, -1, 0, 0},
    {26, 4, 0, 0, 0, 0, 0},  {27, 4, 0, 0, 1, 1, 3},  {28, 4, 1, 0, 0, 0, 0},  {29, 4, 1, -1, 0, 1, 0},
    {30, 4, 2, 0, 0, 0, 0},  {31, 4, 2, 0, -1, 1, 1}, {32, 4, 3, 0, 0, 0, 0},  {33, 4, 3, 1, 0, 1, 2},
};

TEST_F(BrickCatalogueTest, CellTypeTableHoldsThe33RecordsInCreationOrder) {
    ASSERT_EQ(CellTypeTable::count, 33u);
    EXPECT_TRUE(g_pendingCellTypes.empty());
    const uint8_t slopedFaceFull[4][6] = {
        {0, 1, 1, 0, 0, 0}, {0, 0, 1, 0, 0, 1}, {1, 0, 1, 0, 0, 0}, {0, 0, 1, 0, 1, 0}};
    std::vector<BrickType>& types = BrickCatalogue::Types();
    ASSERT_EQ(types.size(), 5u);
    for (const ExpectedCell& e : kCells) {
        SCOPED_TRACE(e.index);
        const BrickCell* r = CellTypeTable::Get(e.index);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(r, CellTypeTable::table[e.index - 1]);
        EXPECT_EQ(r->typeIndex, e.index);
        EXPECT_EQ(r->dx, e.dx);
        EXPECT_EQ(r->dy, 0);
        EXPECT_EQ(r->dz, e.dz);
        EXPECT_EQ(r->kind, e.kind);
        EXPECT_EQ(r->category, e.category);
        EXPECT_EQ(r->hasTopStuds, e.kind == 0 ? 1 : 0);
        EXPECT_EQ(r->hasBottomSockets, 1);
        for (int f = 0; f < 6; ++f) {
            EXPECT_EQ(r->faceFull[f], e.kind == 0 ? 1 : slopedFaceFull[e.category][f]) << "face " << f;
        }
        // Back-pointers: the record's shape is the catalogue's shape, whose type is the catalogue's type.
        const BrickShape* shape = &types[e.type].shapes[e.shape];
        EXPECT_EQ(r->owner, shape);
        EXPECT_EQ(shape->owner, &types[e.type]);
        EXPECT_EQ(shape->rotation, e.shape);
        EXPECT_EQ(types[e.type].typeId, e.type);
    }
    for (uint16_t beyond : {0, 34, 35, 1000, 65535}) EXPECT_EQ(CellTypeTable::Get(beyond), nullptr) << beyond;
}

TEST_F(BrickCatalogueTest, TypesShapesBoundsAndOffsets) {
    const std::vector<BrickType>& types = BrickCatalogue::Types();
    const int32_t designs[5] = {3005, 3004, 3003, 3001, 3040};
    const size_t shapeCounts[5] = {1, 2, 1, 2, 4};
    for (int t = 0; t < 5; ++t) {
        EXPECT_EQ(types[t].designId, designs[t]);
        ASSERT_EQ(types[t].shapes.size(), shapeCounts[t]);
        for (const BrickShape& s : types[t].shapes) {
            EXPECT_EQ(s.minY, 0);
            EXPECT_EQ(s.maxY, 0);
            int32_t min[3] = {0, 0, 0};
            int32_t max[3] = {0, 0, 0};
            BrickShape::ComputeBounds(s.cells, min, max);
            EXPECT_EQ(min[0], s.minX);
            EXPECT_EQ(min[2], s.minZ);
            EXPECT_EQ(max[0], s.maxX);
            EXPECT_EQ(max[2], s.maxZ);
        }
    }
    const BrickShape& along = types[3].shapes[0];
    EXPECT_EQ((std::vector<int32_t>{along.minX, along.maxX, along.minZ, along.maxZ}), (std::vector<int32_t>{-1, 2, 0, 1}));
    const BrickShape& across = types[3].shapes[1];
    EXPECT_EQ((std::vector<int32_t>{across.minX, across.maxX, across.minZ, across.maxZ}), (std::vector<int32_t>{0, 1, -1, 2}));

    // Offsets: (a x 0.8, 0, b x 0.8) with the single-precision 0.8 in double arithmetic.
    const double w = static_cast<double>(0.8f);
    const double expected[5][4][2] = {
        {{0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}},  {{0.5, 0.5}, {0.5, 0.5}, {1.5, 0.5}, {0.5, 1.5}},
        {{0.5, 1.5}, {0.5, 0.5}, {1.5, 0.5}, {1.5, 1.5}},  {{-0.5, 1.5}, {0.5, -0.5}, {2.5, 0.5}, {1.5, 2.5}},
        {{0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}, {0.5, 0.5}},
    };
    for (int t = 0; t < 5; ++t) {
        ASSERT_EQ(types[t].placementOffsets.size(), 4u);
        for (int r = 0; r < 4; ++r) {
            EXPECT_EQ(types[t].placementOffsets.at(r), Vector3(expected[t][r][0] * w, 0, expected[t][r][1] * w))
                << t << "/" << r;
        }
    }
    EXPECT_EQ(types[3].placementOffsets.at(0).x, -0.4000000059604645);
}

TEST_F(BrickCatalogueTest, FindShapeReducesRotationAndFallsBackToTypeZero) {
    std::vector<BrickType>& types = BrickCatalogue::Types();
    struct Case {
        uint8_t type, rotation;
        const BrickShape* shape;
    };
    const Case cases[] = {
        {1, 0, &types[1].shapes[0]}, {1, 2, &types[1].shapes[0]}, {1, 1, &types[1].shapes[1]},
        {1, 3, &types[1].shapes[1]}, {4, 3, &types[4].shapes[3]}, {4, 255, &types[4].shapes[3]},
        {2, 7, &types[2].shapes[0]}, {5, 0, &types[0].shapes[0]}, {200, 7, &types[0].shapes[0]},
        {255, 1, &types[0].shapes[0]},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(BrickCatalogue::FindShape(c.type, c.rotation), c.shape) << int(c.type) << "," << int(c.rotation);
    }
    EXPECT_EQ(BrickCatalogue::FindShape(1, 0)->cells[0]->typeIndex, 2);
    EXPECT_EQ(BrickCatalogue::FindShape(4, 3)->cells[1]->typeIndex, 33);
}

TEST_F(BrickCatalogueTest, FaceOpenFlagsFollowNeighboursInTheShape) {
    // Order +y, -y, -x, +x, +z, -z.
    const std::vector<uint8_t> cell2(CellTypeTable::Get(2)->faceOpen, CellTypeTable::Get(2)->faceOpen + 6);
    const std::vector<uint8_t> cell3(CellTypeTable::Get(3)->faceOpen, CellTypeTable::Get(3)->faceOpen + 6);
    EXPECT_EQ(cell2, (std::vector<uint8_t>{1, 1, 0, 1, 1, 1}));
    EXPECT_EQ(cell3, (std::vector<uint8_t>{1, 1, 1, 0, 1, 1}));
    const BrickCell* lone = CellTypeTable::Get(1);
    EXPECT_EQ(std::vector<uint8_t>(lone->faceOpen, lone->faceOpen + 6), std::vector<uint8_t>(6, 1));
    // Cell 15 of the 2 x 4 brick, (1, 0, 1), has cells on -x, +x and -z.
    const BrickCell* inner = CellTypeTable::Get(15);
    EXPECT_EQ(std::vector<uint8_t>(inner->faceOpen, inner->faceOpen + 6), (std::vector<uint8_t>{1, 1, 0, 0, 1, 0}));
}

// Copies of shapes and types (as a growing list makes them) take their cells
// and shapes with them.
TEST(BrickCatalogueCopies, BackPointersFollowTheCopies) {
    std::vector<BrickCell> records(10);
    std::vector<BrickType> list;
    for (int t = 0; t < 5; ++t) {
        list.push_back(BrickType(static_cast<uint8_t>(t), 1000 + t));
        BrickType& type = list.back();
        for (int s = 0; s < 2; ++s) {
            BrickShape& shape = type.AddShape();
            EXPECT_EQ(shape.owner, &type);
            EXPECT_EQ(shape.rotation, s);
            records[t * 2 + s].dx = s;
            shape.AddCell(&records[t * 2 + s]);
        }
    }
    for (int t = 0; t < 5; ++t) {
        for (int s = 0; s < 2; ++s) {
            EXPECT_EQ(list[t].shapes[s].owner, &list[t]);
            EXPECT_EQ(records[t * 2 + s].owner, &list[t].shapes[s]);
        }
    }
    BrickType copy = list[2];
    EXPECT_EQ(copy.shapes[1].owner, &copy);
    EXPECT_EQ(records[5].owner, &copy.shapes[1]);
}

TEST(BrickCatalogueCreate, RecordsByKindAndCategory) {
    const uint16_t before = g_cellTypeCounter;
    BrickCell* full = BrickCell::Create(0, 0, 1, 2, 3);
    BrickCell* sloped = BrickCell::Create(1, 2, 0, 0, 0);
    BrickCell* odd = BrickCell::Create(7, 9, 0, 0, 0);
    EXPECT_EQ(full->typeIndex, before + 1);
    EXPECT_EQ(sloped->typeIndex, before + 2);
    EXPECT_EQ((std::vector<int32_t>{full->dx, full->dy, full->dz}), (std::vector<int32_t>{1, 2, 3}));
    EXPECT_EQ(sloped->hasTopStuds, 0);
    EXPECT_EQ(sloped->faceFull[0], 1);
    EXPECT_EQ(sloped->faceFull[1], 0);
    // Arguments outside the catalogue's make a plain full cell.
    EXPECT_EQ(odd->kind, 0);
    EXPECT_EQ(odd->hasTopStuds, 1);
    ASSERT_EQ(g_pendingCellTypes.size(), 3u);
    EXPECT_EQ(g_pendingCellTypes[1], sloped);
    for (BrickCell* c : g_pendingCellTypes) delete c;
    g_pendingCellTypes.clear();
    g_cellTypeCounter = before;
}

TEST_F(BrickCatalogueTest, DestroyFreesEverythingAndBuildRestoresTheSameIndices) {
    TerrainGenerator::FreeShapeTables();
    BrickCatalogue::Destroy();
    EXPECT_EQ(CellTypeTable::count, 0u);
    EXPECT_EQ(CellTypeTable::Get(1), nullptr);
    EXPECT_EQ(BrickCatalogue::FindShape(0, 0), nullptr);
    BrickCatalogue::Build();
    TerrainGenerator::PrepareShapeTables();
    ASSERT_EQ(CellTypeTable::count, 33u);
    EXPECT_EQ(CellTypeTable::Get(33)->dx, 1);
    EXPECT_EQ(CellTypeTable::Get(33)->owner, &BrickCatalogue::Types()[4].shapes[3]);
    // A second Build keeps the catalogue as it is.
    BrickCatalogue::Build();
    EXPECT_EQ(CellTypeTable::count, 33u);
    EXPECT_EQ(BrickCatalogue::Types().size(), 5u);
}

}  // namespace
}  // namespace Tav
