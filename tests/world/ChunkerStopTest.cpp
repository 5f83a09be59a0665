// The chunk manager's stop against a real SQLite file: what was queued is
// stored and shown, nothing is stored or shown after it, no chunk is freed
// under an edit, and a worker whose step never comes back is left with the
// stores still made.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "world/BrickCatalogue.h"
#include "world/ChunkStoreCodec.h"
#include "world/ServerChunker.h"
#include "world/TerrainGenerator.h"
#include "world/TestChunker.h"
#include "world/sql/SqlDatabase.h"

namespace Tav {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// Counts the chunk messages of the store thread.
class CountingHost : public IChunkHost {
public:
    void SendChunks(const TouchedSet&, const Net::AddressOrGuid&, int, bool) override {}
    void SendChunkEntries(uint32_t count, const Net::BitStream&, const Net::AddressOrGuid&, int, bool) override {
        ++messages;
        chunks += count;
    }
    void SpawnPlayer(Net::Guid, const Vector3&) override {}
    void CollectScriptGarbage() override {}
    void UpdateHeldItems(double) override {}
    void ForEachPlayerPosition(const std::function<void(const Vector3&)>&) override {}
    std::atomic<int> messages{0};
    std::atomic<uint32_t> chunks{0};
};

// A worker whose step holds until it is let go, as one that runs a script
// that does not stop.
class HeldWorkerChunker final : public ServerChunker {
public:
    HeldWorkerChunker(const std::string& file, IChunkHost* host) : ServerChunker(nullptr, host, file) { Start(); }
    ~HeldWorkerChunker() override {
        letGo = true;
        Stop();
    }
    void Update() override {
        inStep = true;
        while (!letGo) std::this_thread::sleep_for(1ms);
    }
    std::atomic<bool> inStep{false};
    std::atomic<bool> letGo{false};
};

class ChunkerStopTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        BrickCatalogue::Build();
        TerrainGenerator::PrepareShapeTables();
        SimplexNoise::InitPermutations();
    }
    void SetUp() override {
        dir = std::filesystem::temp_directory_path() /
              ("tav-stop-" + std::to_string(::getpid()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir);
        file = (dir / "world.db").string();
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }

    // Places a 1 x 1 brick in the sky of chunk (0, 2, 0) at local (x, 0, 0)
    // and queues its store; whether the store took it.
    static bool EditAndStore(ServerChunker& chunker, int x) {
        ServerChunker::EditScope edit(chunker);
        TouchedSet touched;
        edit.PlaceBrick({0, 0, 0}, {-1, -1, -1}, *BrickCatalogue::FindShape(0, 0), 3, {x - 8, 32, -8}, &touched,
                        false);
        return edit.Store(touched, StoreMode::AllOrNothing);
    }
    std::vector<unsigned char> Row(int cx, int cy, int cz) {
        SqlDatabase db;
        db.Open(file.c_str());
        std::vector<unsigned char> raw;
        std::string error;
        LoadChunkRow(db, cx, cy, cz, kStoredChunkRawLength, raw, error);
        return raw;
    }
    static std::vector<unsigned char> CellsOf(const Chunk& chunk) {
        Net::BitStream out;
        chunk.Serialize(out);
        return std::vector<unsigned char>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
    }

    std::filesystem::path dir;
    std::string file;
    CountingHost host;
};

TEST_F(ChunkerStopTest, AStopStoresWhatWasQueuedAndThenTakesNoStoreUntilItStartsAgain) {
    TestChunker chunker(file, &host);
    Chunk* chunk = chunker.GetChunk(0, 2, 0);
    ASSERT_NE(chunk, nullptr);
    ASSERT_TRUE(EditAndStore(chunker, 1));
    const std::vector<unsigned char> stored = CellsOf(*chunk);
    chunker.Stop();
    EXPECT_EQ(host.messages.load(), 1) << "what was queued is shown";
    EXPECT_EQ(Row(0, 2, 0), stored);
    EXPECT_EQ(chunker.ChunksLostAtStop(), 0u);

    // An edit that comes after the stop (from a thread the stop did not
    // end) reaches neither the database nor the host.
    EXPECT_FALSE(chunker.IsStoreOpen());
    EXPECT_FALSE(EditAndStore(chunker, 2));
    EXPECT_TRUE(chunker.SaveChunks({}, StoreMode::AllOrNothing).empty());
    chunker.AwaitStores();
    EXPECT_EQ(host.messages.load(), 1);

    chunker.Start();
    ASSERT_NE(chunker.GetChunk(0, 2, 0), nullptr);
    EXPECT_TRUE(EditAndStore(chunker, 3));
    chunker.AwaitStores();
    EXPECT_EQ(host.messages.load(), 2);
}

// An edit may hold chunk pointers while it lets the cells go between two
// holds (a design does); the stop gives the chunks back only once it ends.
TEST_F(ChunkerStopTest, TheStopFreesNoChunkThatAnEditStillHolds) {
    TestChunker chunker(file, &host);
    ASSERT_NE(chunker.GetChunk(0, 2, 0), nullptr);
    std::atomic<bool> between{false};
    std::atomic<bool> stopped{false};
    std::atomic<bool> stoppedDuringEdit{true};
    std::thread editor([&] {
        ServerChunker::EditScope edit(chunker);
        TouchedSet touched;
        edit.PlaceBrick({0, 0, 0}, {-1, -1, -1}, *BrickCatalogue::FindShape(0, 0), 3, {-7, 32, -8}, &touched, false);
        edit.ReleaseCells();
        between = true;
        std::this_thread::sleep_for(200ms);  // the stop runs meanwhile
        stoppedDuringEdit = stopped.load();
        // Still resident: the second hold writes into the chunk it collected.
        edit.PlaceBrick({0, 0, 0}, {-1, -1, -1}, *BrickCatalogue::FindShape(0, 0), 4, {-6, 32, -8}, &touched, false);
        edit.Store(touched, StoreMode::AllOrNothing);
    });
    while (!between) std::this_thread::yield();
    chunker.Stop();
    stopped = true;
    editor.join();
    EXPECT_FALSE(stoppedDuringEdit.load()) << "the chunks were given back while an edit held them";
}

TEST_F(ChunkerStopTest, AWorkerThatDoesNotComeBackIsLeftAndTheStoresAreStillMade) {
    HeldWorkerChunker chunker(file, &host);
    while (!chunker.inStep) std::this_thread::yield();
    // The worker is held, so the test files the chunk itself.
    Chunk* chunk = AllocChunk();
    chunk->Init(0, 2, 0);
    ASSERT_TRUE(chunker.ReadCells([&] { return chunker.GetRoot()->Insert(0, 2, 0, chunk); }));
    ASSERT_TRUE(EditAndStore(chunker, 1));
    const std::vector<unsigned char> stored = CellsOf(*chunk);

    EXPECT_FALSE(chunker.StopWithin(Clock::now() + 100ms));
    EXPECT_EQ(Row(0, 2, 0), stored);
    EXPECT_EQ(host.messages.load(), 1);
    EXPECT_FALSE(chunker.IsStoreOpen());
    // The tree stays for the worker that is still in its step.
    EXPECT_TRUE(chunker.ReadCells([&] { return chunker.GetRoot() && chunker.GetRoot()->Find(0, 2, 0) == chunk; }));
    EXPECT_NO_THROW(chunker.CloseDatabase());
    // Let go, it ends, and the destructor's stop joins it and frees the tree.
}

}  // namespace
}  // namespace Tav
