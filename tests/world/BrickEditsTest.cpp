// Brick placement, removal and occupancy against a real octree of chunks.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "sql/TempDir.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/TestChunker.h"

namespace Tav {
namespace {

using Edit = ServerChunker::EditScope;

const Vector3i kNoExcludedMin(-10000, -10000, -10000);
const Vector3i kNoExcludedMax(-10000, -100000, -10000);

class BrickEditsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { BrickCatalogue::Build(); }

    // An empty chunk filed in the octree.
    static Chunk* Load(TestChunker& into, int cx, int cy, int cz) {
        Chunk* chunk = AllocChunk();
        chunk->Init(cx, cy, cz);
        EXPECT_TRUE(into.File(chunk));
        return chunk;
    }
    Chunk* Load(int cx, int cy, int cz) { return Load(chunker, cx, cy, cz); }
    // The 3 x 2 x 3 block of empty chunks around the origin.
    void LoadAround() {
        for (int x = -1; x <= 1; ++x)
            for (int y = 0; y <= 1; ++y)
                for (int z = -1; z <= 1; ++z) Load(x, y, z);
    }
    const Cell* CellAt(const Vector3i& w) {
        int index = 0;
        Chunk* chunk = Edit(chunker).FindCell(w, index);
        return chunk ? &chunk->cells[index] : nullptr;
    }
    static BrickShape& Shape(uint8_t type, uint8_t rotation = 0) { return *BrickCatalogue::FindShape(type, rotation); }
    bool Place(const BrickShape& shape, const Vector3i& anchor, TouchedSet* touched = nullptr, uint8_t colour = 5,
               bool requireSupport = true) {
        return Edit(chunker).PlaceBrick(kNoExcludedMin, kNoExcludedMax, shape, colour, anchor, touched,
                                        requireSupport);
    }
    BrickShape* Remove(const Vector3i& cell, TouchedSet* touched = nullptr) {
        return Edit(chunker).RemoveBrickAt(cell, touched);
    }
    uint32_t TotalCount() {
        std::vector<Chunk*> all;
        chunker.ReadCells([&] { chunker.GetRoot()->Collect(all, -24000, 24000, 0, 5, -24000, 24000); });
        uint32_t n = 0;
        for (Chunk* c : all) n += c->nonEmptyCount;
        return n;
    }

    TavTest::TempDir dir;
    TestChunker chunker{dir.File("world.db")};
};

TEST_F(BrickEditsTest, SupportRule) {
    struct Case {
        const char* name;
        std::vector<Vector3i> before;  // 1 x 1 bricks placed first (without support)
        Vector3i anchor;
        bool accepted;
    };
    const std::vector<Case> cases = {
        {"on the ground", {}, {0, 0, 0}, true},
        {"floating over an empty cell", {}, {0, 1, 0}, false},
        {"on the studs of a brick", {{0, 0, 0}}, {0, 1, 0}, true},
        {"hanging under a brick", {{0, 5, 0}}, {0, 4, 0}, true},
        {"beside a brick only", {{1, 3, 0}}, {0, 3, 0}, false},
        {"on a brick in the chunk layer below", {{0, 15, 0}}, {0, 16, 0}, true},
        {"anchor below the ground", {}, {0, -1, 0}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TestChunker fresh(dir.File("fresh.db"));  // each case in a world of its own
        for (int x = -1; x <= 1; ++x)
            for (int y = 0; y <= 1; ++y)
                for (int z = -1; z <= 1; ++z) Load(fresh, x, y, z);
        Edit edit(fresh);
        for (const Vector3i& b : c.before)
            ASSERT_TRUE(edit.PlaceBrick(kNoExcludedMin, kNoExcludedMax, Shape(0), 3, b, nullptr, false));
        EXPECT_EQ(edit.CanPlaceBrick(Shape(0), c.anchor, kNoExcludedMin, kNoExcludedMax, nullptr, true), c.accepted);
        TouchedSet touched;
        EXPECT_EQ(edit.PlaceBrick(kNoExcludedMin, kNoExcludedMax, Shape(0), 9, c.anchor, &touched, true), c.accepted);
        EXPECT_EQ(touched.size(), c.accepted ? 1u : 0u);
    }
}

TEST_F(BrickEditsTest, AnchorBelowGroundIsRefusedEvenWithoutSupportButItsChunkIsCollected) {
    LoadAround();
    Edit edit(chunker);
    EXPECT_FALSE(edit.CanPlaceBrick(Shape(0), {0, -1, 0}, kNoExcludedMin, kNoExcludedMax, nullptr, false));
    TouchedSet touched;
    edit.CollectShapeChunks(Shape(0), {0, -1, 0}, touched);
    ASSERT_EQ(touched.size(), 1u);
    EXPECT_EQ((*touched.begin())->Coordinates(), Vector3i(0, 0, 0));
    edit.ReleaseCells();
    EXPECT_EQ(TotalCount(), 0u);
}

TEST_F(BrickEditsTest, OverlapIsRefusedAndChangesNothing) {
    LoadAround();
    ASSERT_TRUE(Place(Shape(2), {0, 0, 0}, nullptr, 4));  // cells x 0..1, z 0..1
    EXPECT_EQ(TotalCount(), 4u);
    // A 2 x 4 that overlaps one of those cells, supported by the ground elsewhere.
    TouchedSet touched;
    EXPECT_FALSE(Place(Shape(3), {-1, 0, 1}, &touched, 7, false));
    EXPECT_TRUE(touched.empty());
    EXPECT_EQ(TotalCount(), 4u);
    EXPECT_EQ(CellAt({-1, 0, 1})->typeIndex, 0);
    EXPECT_EQ(CellAt({1, 0, 1})->colour, 4);
}

TEST_F(BrickEditsTest, ExcludedBoxBlocksItsCells) {
    LoadAround();
    const Vector3i origin(0, 0, 0);
    {
        Edit edit(chunker);
        EXPECT_FALSE(edit.PlaceBrick(origin, origin, Shape(0), 1, {0, 0, 0}, nullptr, false));
        EXPECT_FALSE(edit.PlaceBrick(origin, origin, Shape(1), 1, {-1, 0, 0}, nullptr, false));  // covers (0,0,0)
    }
    EXPECT_EQ(TotalCount(), 0u);
    EXPECT_TRUE(Edit(chunker).PlaceBrick(origin, origin, Shape(0), 1, {1, 0, 0}, nullptr, false));
    // The brick-edit handler's box holds no cell.
    EXPECT_TRUE(Place(Shape(0), {0, 0, 0}));
}

TEST_F(BrickEditsTest, TwoByTwoAcrossAChunkBorder) {
    Chunk* c0 = Load(0, 0, 0);
    // Cells x 7 and 8 lie in chunks 0 and 1.
    {
        TouchedSet touched;
        EXPECT_TRUE(Place(Shape(2), {7, 0, 0}, &touched));
        EXPECT_EQ(touched.size(), 1u) << "only the loaded chunk is written";
        EXPECT_EQ(c0->nonEmptyCount, 2u);
        EXPECT_EQ(CellAt({8, 0, 0}), nullptr);
    }
    Chunk* c1 = Load(1, 0, 0);
    TouchedSet touched;
    EXPECT_TRUE(Place(Shape(2), {7, 1, 0}, &touched));  // on the studs of the half brick below
    EXPECT_EQ(touched, (TouchedSet{c0, c1}));
    EXPECT_EQ(c0->nonEmptyCount, 4u);
    EXPECT_EQ(c1->nonEmptyCount, 2u);
    EXPECT_EQ(CellAt({8, 1, 1})->typeIndex, Shape(2).cells[2]->typeIndex);  // record (1, 0, 1)
}

TEST_F(BrickEditsTest, RemovalFromAnyCellOfATwoByFour) {
    Chunk* c0 = Load(0, 0, 0);
    Chunk* c1 = Load(1, 0, 0);
    ASSERT_TRUE(Place(Shape(0), {5, 0, 3}));  // a bystander
    const BrickShape& brick = Shape(3);       // x -1..2, z 0..1 from the anchor
    const Vector3i anchor(7, 0, 0);           // x 6..9: two cells in each chunk per row
    for (const BrickCell* hit : brick.cells) {
        const Vector3i at = anchor + Vector3i(hit->dx, hit->dy, hit->dz);
        SCOPED_TRACE(at.ToString());
        ASSERT_TRUE(Place(brick, anchor, nullptr, 6));
        ASSERT_EQ(c0->nonEmptyCount, 5u);
        ASSERT_EQ(c1->nonEmptyCount, 4u);

        TouchedSet touched;
        EXPECT_EQ(Remove(at, &touched), &brick);
        EXPECT_EQ(touched, (TouchedSet{c0, c1}));
        EXPECT_EQ(c0->nonEmptyCount, 1u);
        EXPECT_EQ(c1->nonEmptyCount, 0u);
        for (const BrickCell* c : brick.cells) {
            const Cell* cell = CellAt(anchor + Vector3i(c->dx, c->dy, c->dz));
            EXPECT_EQ(cell->typeIndex, 0);
            EXPECT_EQ(cell->colour, 255);
        }
        TouchedSet again;
        EXPECT_EQ(Remove(at, &again), nullptr);
        EXPECT_TRUE(again.empty());
    }
    EXPECT_EQ(CellAt({5, 0, 3})->typeIndex, Shape(0).cells[0]->typeIndex);
    EXPECT_EQ(Remove({100, 0, 0}, nullptr), nullptr) << "chunk not loaded";
    EXPECT_EQ(Remove({0, -1, 0}, nullptr), nullptr) << "below the ground";
}

TEST_F(BrickEditsTest, IndicesBeyondTheTableCountAsEmpty) {
    Chunk* c0 = Load(0, 0, 0);
    const uint16_t bogus = static_cast<uint16_t>(CellTypeTable::count + 1);
    {
        Edit edit(chunker);
        c0->SetCell(8, 0, 8, bogus, 1);  // world cell (0, 0, 0)
        c0->SetCell(8, 0, 9, 0xFFFF, 1);  // world cell (0, 0, 1)
    }
    EXPECT_FALSE(chunker.IsBoxOccupied({0, 0, 0}, {0, 0, 1}));
    EXPECT_EQ(Remove({0, 0, 0}, nullptr), nullptr);
    EXPECT_EQ(c0->GetCell(8, 0, 8).typeIndex, bogus);
    EXPECT_FALSE(Place(Shape(0), {0, 1, 0})) << "no studs under it";
    EXPECT_TRUE(Place(Shape(0), {0, 0, 1})) << "it may be built over";
}

TEST_F(BrickEditsTest, IsBoxOccupied) {
    EXPECT_TRUE(chunker.IsBoxOccupied({0, -1, 0}, {0, -1, 0})) << "below the ground, empty world";
    EXPECT_FALSE(chunker.IsBoxOccupied({0, 0, 0}, {30, 70, 30})) << "nothing loaded";
    LoadAround();
    ASSERT_FALSE(Place(Shape(0), {-9, 17, 7}));  // floating: refused
    ASSERT_TRUE(Place(Shape(0), {-9, 0, 7}));
    ASSERT_TRUE(Place(Shape(0), {-9, 1, 7}));
    struct Case {
        Vector3i min, max;
        bool occupied;
    };
    const std::vector<Case> cases = {
        {{-9, 0, 7}, {-9, 0, 7}, true},
        {{-8, 0, 7}, {0, 5, 8}, false},
        {{-20, 0, -20}, {20, 40, 20}, true},
        {{-9, 2, 7}, {-9, 40, 7}, false},  // the floating one was refused
        {{0, 0, 0}, {-1, 0, 0}, false},    // empty box
        {{0, -1, 0}, {-1, 0, 0}, true},    // empty but below the ground
        {{-9, 80, 7}, {-9, 200, 7}, false},
        {{INT32_MIN, 0, INT32_MIN}, {INT32_MAX, INT32_MAX, INT32_MAX}, true},
        {{INT32_MIN, 2, INT32_MIN}, {INT32_MAX, INT32_MAX, INT32_MAX}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.min.ToString() + " .. " + c.max.ToString());
        EXPECT_EQ(chunker.IsBoxOccupied(c.min, c.max), c.occupied);
    }
}

TEST_F(BrickEditsTest, ConcurrentEditsAndOccupancyTests) {
    LoadAround();
    std::atomic<bool> go{false};
    auto editor = [&](int z) {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 300; ++i) {
            TouchedSet touched;
            EXPECT_TRUE(Place(Shape(2), {i % 10, 0, z}, &touched));
            EXPECT_EQ(Remove({i % 10 + 1, 0, z + 1}, &touched), &Shape(2));
        }
    };
    std::thread a(editor, -6), b(editor, 3);
    std::thread reader([&] {
        while (!go.load()) std::this_thread::yield();
        for (int i = 0; i < 300; ++i) chunker.IsBoxOccupied({-8, 0, -8}, {7, 3, 7});
    });
    go = true;
    a.join();
    b.join();
    reader.join();
    EXPECT_EQ(TotalCount(), 0u);
}

}  // namespace
}  // namespace Tav
