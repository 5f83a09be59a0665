// Design stamping and its undo against a real chunk manager and a real
// "world.db" in a temporary folder.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <iterator>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "e2e/ProcessHarness.h"
#include "sql/TempDir.h"
#include "world/BrickCatalogue.h"
#include "world/ChunkStoreCodec.h"
#include "world/ColourTable.h"
#include "world/Lxfml.h"
#include "world/ServerChunker.h"
#include "world/sql/SqlDatabase.h"

namespace Tav {
namespace {

// A chunk manager whose worker does nothing: the test files the chunks.
class IdleChunker : public ServerChunker {
public:
    explicit IdleChunker(const std::string& file) : ServerChunker(nullptr, nullptr, file) { Start(); }
    ~IdleChunker() override { Stop(); }
    void Update() override { std::this_thread::sleep_for(std::chrono::milliseconds(1)); }
};

std::vector<unsigned char> CellsOf(const Chunk& chunk)
{
    Net::BitStream out;
    chunk.Serialize(out);
    return std::vector<unsigned char>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
}

class DesignStampingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        BrickCatalogue::Build();
        ColourTable::Build();
    }

    // An empty chunk, resident.
    Chunk* Load(int cx, int cy, int cz)
    {
        return chunker.CreateChunk(cx, cy, cz, [](Chunk&) {});
    }
    bool IsLoaded(int cx, int cy, int cz)
    {
        return chunker.ReadCells([&] { return chunker.GetRoot()->Find(cx, cy, cz) != nullptr; });
    }
    Cell At(const Vector3i& w)
    {
        int index = 0;
        ServerChunker::EditScope edit(chunker);
        const Chunk* chunk = edit.FindCell(w, index);
        EXPECT_NE(chunk, nullptr) << w.ToString();
        return chunk ? chunk->cells[index] : Cell{};
    }
    // A brick already in the world, placed as a player would without support.
    void Put(uint8_t type, uint8_t rotation, const Vector3i& anchor, uint8_t colour)
    {
        const Vector3i none(1, 1, 1), noneMax(0, 0, 0);
        ASSERT_TRUE(ServerChunker::EditScope(chunker).PlaceBrick(none, noneMax, *BrickCatalogue::FindShape(type, rotation),
                                                                 colour, anchor, nullptr, false));
    }
    // Stamping and undo as the server's import methods run them, until the
    // store thread has handled the chunks; true when every chunk changed so
    // far is stored. What they count goes to count and removed.
    bool Place(TouchedSet& touched, const LxfmlDesign& design, Vector3i origin, DesignStampCount* count = nullptr)
    {
        {
            ServerChunker::EditScope edit(chunker);
            const DesignStampCount placed = chunker.PlaceDesignAndSave(edit, touched, design, origin);
            if (count) *count = placed;
        }
        chunker.AwaitStores();
        return chunker.UnstoredCount() == 0;
    }
    bool Remove(TouchedSet& touched, const LxfmlDesign& design, Vector3i origin, size_t* removed = nullptr)
    {
        {
            ServerChunker::EditScope edit(chunker);
            const size_t n = chunker.RemoveDesignAndSave(edit, touched, design, origin);
            if (removed) *removed = n;
        }
        chunker.AwaitStores();
        return chunker.UnstoredCount() == 0;
    }
    static std::vector<size_t> Counted(const DesignStampCount& c) { return {c.placed, c.partly}; }
    static LxfmlBrick B(uint8_t type, uint8_t rotation, const Vector3i& cell, uint8_t colour)
    {
        LxfmlBrick b;
        b.shape = BrickCatalogue::FindShape(type, rotation);
        b.x = cell.x;
        b.y = cell.y;
        b.z = cell.z;
        b.colour = colour;
        return b;
    }
    static LxfmlDesign Design(std::initializer_list<LxfmlBrick> bricks)
    {
        LxfmlDesign d;
        for (const LxfmlBrick& b : bricks) d.AddBrick(b);
        return d;
    }
    static uint16_t TypeIndex(uint8_t type, uint8_t rotation = 0, size_t cell = 0)
    {
        return BrickCatalogue::FindShape(type, rotation)->cells[cell]->typeIndex;
    }
    static std::set<Vector3i> Coordinates(const TouchedSet& touched)
    {
        std::set<Vector3i> out;
        for (const Chunk* c : touched) out.insert(c->Coordinates());
        return out;
    }

    // What "world.db" holds, read through a connection of the test's own.
    std::vector<unsigned char> Stored(int cx, int cy, int cz)
    {
        SqlDatabase db;
        db.Open(dir.File("world.db").c_str());
        std::vector<unsigned char> raw;
        std::string error;
        EXPECT_NE(LoadChunkRow(db, cx, cy, cz, kStoredChunkRawLength, raw, error), ChunkRowStatus::Failed) << error;
        return raw;
    }
    int Rows()
    {
        SqlDatabase db;
        db.Open(dir.File("world.db").c_str());
        return std::stoi(db.ExecQuery("select count(*) from mapdata;").FieldValue(0));
    }

    TavTest::TempDir dir;
    IdleChunker chunker{dir.File("world.db")};
};

TEST_F(DesignStampingTest, ABrickLandsAtOriginPlusItsCellAndOnlyItsChunkIsStored)
{
    Chunk* chunk = Load(0, 0, 0);
    Load(1, 0, 0);
    TouchedSet touched;
    EXPECT_TRUE(Place(touched, Design({B(0, 0, {0, 0, 0}, 5)}), Vector3i(5, 0, 5)));

    EXPECT_EQ(At({5, 0, 5}).typeIndex, TypeIndex(0));
    EXPECT_EQ(At({5, 0, 5}).colour, 5);
    EXPECT_EQ(chunk->nonEmptyCount, 1u);
    EXPECT_EQ(Coordinates(touched), (std::set<Vector3i>{{0, 0, 0}}));
    EXPECT_EQ(Rows(), 1);
    EXPECT_EQ(Stored(0, 0, 0), CellsOf(*chunk));
}

TEST_F(DesignStampingTest, ADesignNeverCoversCellZero)
{
    Load(0, 0, 0);
    TouchedSet touched;
    EXPECT_TRUE(Place(touched, Design({B(0, 0, {0, 0, 0}, 5)}), Vector3i(0, 0, 0)));
    EXPECT_EQ(At({0, 0, 0}).typeIndex, 0);
    EXPECT_TRUE(touched.empty());
    EXPECT_EQ(Rows(), 0);
}

TEST_F(DesignStampingTest, BricksThatCannotLandAreLeftOutWhole)
{
    Load(0, 0, 0);  // chunk (1, 0, 0), cells x 8 to 23, is not loaded
    Put(0, 0, {3, 0, 3}, 9);
    const LxfmlDesign design = Design({
        B(0, 0, {3, 0, 3}, 5),   // over an occupied cell
        B(0, 0, {1, -1, 1}, 5),  // anchor below row 0
        B(1, 0, {1, 0, 1}, 6),   // a 1 x 2 over cells 1 and 2 ...
        B(0, 0, {2, 0, 1}, 7),   // ... so this later brick on cell 2 is left out
        B(2, 0, {7, 0, 5}, 8),   // a 2 x 2 at x 7 and 8: only x 7 is loaded
        B(0, 0, {12, 0, 5}, 8),  // wholly in the chunk that is not loaded
    });
    TouchedSet touched;
    DesignStampCount count;
    EXPECT_TRUE(Place(touched, design, Vector3i(0, 0, 0), &count));
    // Two bricks landed, one of them only in part; the one with no loaded
    // cell does not count.
    EXPECT_EQ(Counted(count), (std::vector<size_t>{2, 1}));

    EXPECT_EQ(At({3, 0, 3}).colour, 9);  // the old brick stays
    EXPECT_EQ(At({1, 0, 1}).colour, 6);
    EXPECT_EQ(At({2, 0, 1}).colour, 6);  // the earlier brick landed
    EXPECT_EQ(At({2, 0, 1}).typeIndex, TypeIndex(1, 0, 0));
    EXPECT_EQ(At({7, 0, 5}).colour, 8);
    EXPECT_EQ(At({7, 0, 6}).colour, 8);
    EXPECT_EQ(Coordinates(touched), (std::set<Vector3i>{{0, 0, 0}}));
    EXPECT_FALSE(IsLoaded(1, 0, 0));  // not created
    EXPECT_TRUE(Stored(1, 0, 0).empty());
    EXPECT_EQ(Rows(), 1);
}

TEST_F(DesignStampingTest, UndoRemovesWhatLandedAndStoresTheChunksAgain)
{
    Chunk* a = Load(0, 0, 0);
    Chunk* b = Load(1, 0, 0);
    const LxfmlDesign design = Design({
        B(3, 0, {7, 0, 2}, 5),  // a 2 x 4 from x 6 to 9: over both chunks
        B(4, 1, {2, 1, 2}, 6),
        B(0, 0, {2, 0, 2}, 7),
    });
    TouchedSet placed;
    DesignStampCount count;
    ASSERT_TRUE(Place(placed, design, Vector3i(1, 0, 1), &count));
    EXPECT_EQ(Counted(count), (std::vector<size_t>{3, 0}));
    EXPECT_EQ(a->nonEmptyCount + b->nonEmptyCount, 8u + 2u + 1u);
    EXPECT_EQ(Coordinates(placed), (std::set<Vector3i>{{0, 0, 0}, {1, 0, 0}}));

    TouchedSet removed;
    size_t taken = 0;
    EXPECT_TRUE(Remove(removed, design, Vector3i(1, 0, 1), &taken));
    EXPECT_EQ(taken, 3u);
    EXPECT_EQ(a->nonEmptyCount + b->nonEmptyCount, 0u);
    for (const Vector3i& w : {Vector3i(7, 0, 3), Vector3i(10, 0, 4), Vector3i(3, 1, 3), Vector3i(2, 1, 3)}) {
        EXPECT_EQ(At(w).typeIndex, 0) << w.ToString();
        EXPECT_EQ(At(w).colour, 255) << w.ToString();
    }
    EXPECT_EQ(Coordinates(removed), Coordinates(placed));
    EXPECT_EQ(Stored(0, 0, 0), CellsOf(*a));
    EXPECT_EQ(Stored(1, 0, 0), CellsOf(*b));

    // Nothing of the design is left: a second undo changes and stores nothing.
    TouchedSet again;
    EXPECT_TRUE(Remove(again, design, Vector3i(1, 0, 1), &taken));
    EXPECT_TRUE(again.empty());
    EXPECT_EQ(taken, 0u);
}

TEST_F(DesignStampingTest, UndoTakesOnlyBricksWhoseOriginCellIsThereInTheDesignsColour)
{
    Load(0, 0, 0);
    Put(2, 0, {1, 0, 1}, 5);  // a 2 x 2 with its origin cell at a design place, same colour
    Put(0, 0, {4, 0, 1}, 3);  // another colour
    Put(1, 0, {5, 0, 3}, 5);  // a 1 x 2 whose origin cell is at (5, 0, 3), its second cell at (6, 0, 3)
    const LxfmlDesign design = Design({B(0, 0, {1, 0, 1}, 5), B(0, 0, {4, 0, 1}, 5), B(0, 0, {6, 0, 3}, 5)});
    TouchedSet placed;
    DesignStampCount count;
    ASSERT_TRUE(Place(placed, design, Vector3i(0, 0, 0), &count));
    EXPECT_TRUE(placed.empty());  // every place was taken
    EXPECT_EQ(Counted(count), (std::vector<size_t>{0, 0}));

    TouchedSet removed;
    size_t taken = 0;
    EXPECT_TRUE(Remove(removed, design, Vector3i(0, 0, 0), &taken));
    EXPECT_EQ(taken, 1u);  // the 2 x 2 only
    for (const Vector3i& w : {Vector3i(1, 0, 1), Vector3i(2, 0, 1), Vector3i(1, 0, 2), Vector3i(2, 0, 2)})
        EXPECT_EQ(At(w).typeIndex, 0) << "the whole 2 x 2 goes, whatever its type: " << w.ToString();
    EXPECT_EQ(At({4, 0, 1}).colour, 3);
    EXPECT_EQ(At({6, 0, 3}).typeIndex, TypeIndex(1, 0, 0));
    EXPECT_EQ(At({5, 0, 3}).typeIndex, TypeIndex(1, 0, 1));
    EXPECT_EQ(Coordinates(removed), (std::set<Vector3i>{{0, 0, 0}}));
}

TEST_F(DesignStampingTest, AnEmptyDesignChangesAndStoresNothing)
{
    Load(0, 0, 0);
    TouchedSet touched;
    EXPECT_TRUE(Place(touched, LxfmlDesign(), Vector3i(5, 0, 5)));
    EXPECT_TRUE(Remove(touched, LxfmlDesign(), Vector3i(5, 0, 5)));
    EXPECT_TRUE(touched.empty());
    EXPECT_EQ(Rows(), 0);
}

TEST_F(DesignStampingTest, FarAnchorsLandNowhere)
{
    Load(0, 0, 0);
    // Sums beyond 32 bits that would wrap to cells (-4, 0, 2) and (0, 0, 2).
    TouchedSet touched;
    EXPECT_TRUE(Place(touched, Design({B(0, 0, {2147483646, 0, 2}, 5)}),
                                           Vector3i(2147483646, 0, 0)));
    EXPECT_TRUE(Place(touched, Design({B(0, 0, {-2147483647 - 1, 0, 2}, 5)}),
                                           Vector3i(-2147483647 - 1, 0, 0)));
    EXPECT_TRUE(touched.empty());
}

TEST_F(DesignStampingTest, TheShippedHouseLandsWholeAndGoesAgain)
{
    // The test design is stamped at (16, 16, 0): chunk (1, 1, 0).
    Chunk* chunk = Load(1, 1, 0);
    LxfmlDesign house;
    {
        std::ifstream in(std::filesystem::path(TavTest::SourceDir()) / "assets/designs/test.lxfml");
        const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        ASSERT_EQ(ParseLxfml(text, Vector3i(), house), LxfmlResult::Parsed);
    }
    ASSERT_FALSE(house.bricks.empty());
    TouchedSet touched;
    ASSERT_TRUE(Place(touched, house, Vector3i(16, 16, 0)));
    EXPECT_EQ(Coordinates(touched), (std::set<Vector3i>{{1, 1, 0}}));
    uint32_t cells = 0;
    for (const LxfmlBrick& b : house.bricks) {
        for (const BrickCell* c : b.shape->cells) {
            const Cell cell = At(Vector3i(16 + b.x + c->dx, 16 + b.y + c->dy, b.z + c->dz));
            EXPECT_EQ(cell.typeIndex, c->typeIndex);
            EXPECT_EQ(cell.colour, b.colour);
            ++cells;
        }
    }
    EXPECT_EQ(chunk->nonEmptyCount, cells);

    touched.clear();
    ASSERT_TRUE(Remove(touched, house, Vector3i(16, 16, 0)));
    EXPECT_EQ(chunk->nonEmptyCount, 0u);
    EXPECT_EQ(Stored(1, 1, 0), CellsOf(*chunk));
}

TEST_F(DesignStampingTest, AFailedStoreKeepsTheCellsAndSaysSo)
{
    Chunk* chunk = Load(0, 0, 0);
    {
        SqlDatabase db;
        db.Open(dir.File("world.db").c_str());
        db.ExecDml("drop table mapdata;");
    }
    TouchedSet touched;
    testing::internal::CaptureStdout();
    EXPECT_FALSE(Place(touched, Design({B(0, 0, {0, 0, 0}, 5)}), Vector3i(5, 0, 5)));
    EXPECT_NE(testing::internal::GetCapturedStdout().find("Cannot store chunk 0,0,0"), std::string::npos);
    EXPECT_EQ(At({5, 0, 5}).colour, 5);
    EXPECT_EQ(chunk->nonEmptyCount, 1u);
    EXPECT_EQ(Coordinates(touched), (std::set<Vector3i>{{0, 0, 0}}));
}

// The chunk worker files new chunks while another thread stamps and undoes:
// every octree access of both is under the octree mutex.
TEST_F(DesignStampingTest, StampingRunsBesideTheWorkerFilingChunks)
{
    Load(0, 0, 0);
    std::atomic<bool> stop{false};
    std::thread worker([&] {
        for (int x = 2; !stop && x < 200; ++x) chunker.CreateChunk(x, 0, 0, [](Chunk&) {});
    });
    const LxfmlDesign design = Design({B(3, 0, {1, 0, 1}, 5), B(0, 0, {4, 0, 4}, 6), B(2, 0, {5, 0, 5}, 7)});
    for (int i = 0; i < 50; ++i) {
        TouchedSet placed, removed;
        Place(placed, design, Vector3i(0, 0, 0));
        Remove(removed, design, Vector3i(0, 0, 0));
        EXPECT_EQ(placed, removed);
    }
    stop = true;
    worker.join();
    EXPECT_EQ(At({4, 0, 4}).typeIndex, 0);
}

}  // namespace
}  // namespace Tav
