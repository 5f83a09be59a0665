// The chunk manager against a real SQLite file in a temporary folder, with a
// host that records what the chunk worker hands up.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <zlib.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "world/BrickCatalogue.h"
#include "world/ChunkMessage.h"
#include "world/ChunkerFileTest.h"
#include "world/ChunkStoreCodec.h"
#include "world/ScratchBuffers.h"
#include "world/ServerChunker.h"
#include "world/TerrainGenerator.h"
#include "world/TestChunker.h"
#include "world/sql/SqlBinary.h"

namespace Tav {
namespace {

struct SentChunks {
    std::vector<Vector3i> coordinates;
    Net::AddressOrGuid target;
    int priority;
    bool broadcast;
    std::vector<std::vector<unsigned char>> cells;  // of each entry, when sent with its cells
};

class RecordingHost : public IChunkHost {
public:
    void SendChunks(const TouchedSet& chunks, const Net::AddressOrGuid& target, int priority, bool broadcast) override {
        SentChunks s{{}, target, priority, broadcast, {}};
        if (shownFrom) {
            // What the server's send puts in the message.
            Net::BitStream body;
            const uint32_t count = shownFrom->AppendShownEntries(chunks, body);
            ReadEntries(count, body, s);
        } else {
            for (const Chunk* c : chunks) s.coordinates.push_back(c->Coordinates());
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            sent.push_back(s);
            events.push_back("chunks");
        }
        if (onSend) onSend();
    }
    // From the store thread: the entries are cx, cy, cz and the cells.
    void SendChunkEntries(uint32_t count, const Net::BitStream& body, const Net::AddressOrGuid& target, int priority,
                          bool broadcast) override {
        SentChunks s{{}, target, priority, broadcast, {}};
        ReadEntries(count, body, s);
        {
            std::lock_guard<std::mutex> lock(mutex);
            sent.push_back(s);
            events.push_back("chunks");
        }
        if (onSend) onSend();
    }
    void SpawnPlayer(Net::Guid guid, const Vector3& position) override {
        if (onSpawn) onSpawn();
        std::lock_guard<std::mutex> lock(mutex);
        spawned.push_back(guid);
        events.push_back("spawn " + guid.ToString());
    }
    void CollectScriptGarbage() override {
        ++garbageSteps;
        if (onGarbage) onGarbage();
    }
    void UpdateHeldItems(double dt) override {
        std::lock_guard<std::mutex> lock(mutex);
        itemSteps.push_back(dt);
    }
    void ForEachPlayerPosition(const std::function<void(const Vector3&)>& visit) override {
        for (const Vector3& p : players) visit(p);
    }

    // Entries of a chunk-data body: cx, cy, cz and the cells.
    static void ReadEntries(uint32_t count, const Net::BitStream& body, SentChunks& s) {
        Net::BitStream in(body.GetData(), body.GetNumberOfBytesUsed(), true);
        for (uint32_t i = 0; i < count; ++i) {
            Vector3i c;
            in.Read(c.x);
            in.Read(c.y);
            in.Read(c.z);
            std::vector<unsigned char> cells(kSerializedChunkBytes);
            in.ReadBytes(cells.data(), cells.size());
            s.coordinates.push_back(c);
            s.cells.push_back(std::move(cells));
        }
    }

    // When set, answers are recorded with their cells as the server sends them.
    ServerChunker* shownFrom = nullptr;
    std::mutex mutex;
    std::vector<SentChunks> sent;
    std::vector<Net::Guid> spawned;
    std::vector<std::string> events;
    std::vector<double> itemSteps;
    std::atomic<int> garbageSteps{0};
    std::vector<Vector3> players;
    std::function<void()> onSend;
    std::function<void()> onSpawn;
    std::function<void()> onGarbage;
};


// A freshly generated chunk's serialised cells.
std::vector<unsigned char> GeneratedCells(int cx, int cy, int cz, uint32_t* count = nullptr) {
    Chunk* chunk = AllocChunk();
    chunk->Init(cx, cy, cz);
    TerrainGenerator::GenerateChunk(chunk);
    Net::BitStream out;
    chunk->Serialize(out);
    if (count) *count = chunk->nonEmptyCount;
    FreeChunk(chunk);
    return std::vector<unsigned char>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
}

std::vector<unsigned char> CellsOf(const Chunk& chunk) {
    Net::BitStream out;
    chunk.Serialize(out);
    return std::vector<unsigned char>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
}

// Direct access to the database file, beside the chunk manager's connection.
class RawDb {
public:
    explicit RawDb(const std::string& file) {
        EXPECT_EQ(sqlite3_open(file.c_str(), &db_), SQLITE_OK);
        sqlite3_exec(db_, "create table if not exists mapdata(location TEXT PRIMARY KEY, data blob);", nullptr,
                     nullptr, nullptr);
    }
    ~RawDb() { sqlite3_close(db_); }
    // The data text of a row; found is false when there is no row.
    std::string Data(const std::string& key, bool* found = nullptr) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db_, "select data, typeof(data) from mapdata where location = ?", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        std::string text;
        const bool row = sqlite3_step(st) == SQLITE_ROW;
        if (row) {
            const unsigned char* p = sqlite3_column_text(st, 0);
            text.assign(reinterpret_cast<const char*>(p ? p : reinterpret_cast<const unsigned char*>("")),
                        static_cast<size_t>(sqlite3_column_bytes(st, 0)));
            type = reinterpret_cast<const char*>(sqlite3_column_text(st, 1));
        }
        sqlite3_finalize(st);
        if (found) *found = row;
        return text;
    }
    void Exec(const std::string& sql) { EXPECT_EQ(sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sql; }
    int Rows() {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db_, "select count(*) from mapdata", -1, &st, nullptr);
        sqlite3_step(st);
        const int n = sqlite3_column_int(st, 0);
        sqlite3_finalize(st);
        return n;
    }
    void Put(const std::string& key, const std::string& data, bool null = false) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db_, "insert or replace into mapdata values (?, ?)", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        if (null)
            sqlite3_bind_null(st, 2);
        else
            sqlite3_bind_text(st, 2, data.data(), static_cast<int>(data.size()), SQLITE_TRANSIENT);
        EXPECT_EQ(sqlite3_step(st), SQLITE_DONE);
        sqlite3_finalize(st);
    }
    std::string type;

private:
    sqlite3* db_ = nullptr;
};

std::string Encode(const std::vector<unsigned char>& bytes) {
    std::string text(SqlEncodedBufferSize(bytes.size()), '\0');
    text.resize(static_cast<size_t>(
        SqlEncodeBinary(bytes.data(), static_cast<int>(bytes.size()), reinterpret_cast<unsigned char*>(&text[0]))));
    return text;
}

std::vector<unsigned char> Frame(uint32_t cl, uint32_t rl, const std::vector<unsigned char>& payload) {
    std::vector<unsigned char> f(8 + payload.size());
    for (int i = 0; i < 4; ++i) {
        f[i] = static_cast<unsigned char>(cl >> (24 - 8 * i));
        f[4 + i] = static_cast<unsigned char>(rl >> (24 - 8 * i));
    }
    for (size_t i = 0; i < payload.size(); ++i) f[8 + i] = payload[i];
    return f;
}

std::vector<unsigned char> Deflate(const std::vector<unsigned char>& raw) {
    std::vector<unsigned char> out(compressBound(static_cast<uLong>(raw.size())));
    uLongf n = static_cast<uLongf>(out.size());
    EXPECT_EQ(compress(out.data(), &n, raw.data(), static_cast<uLong>(raw.size())), Z_OK);
    out.resize(n);
    return out;
}

class ServerChunkerTest : public ChunkerFileTest {
protected:
    // Edits one cell of a resident chunk as a brick edit would.
    static void Edit(ServerChunker& chunker, Chunk* chunk, uint16_t type, uint8_t colour) {
        ServerChunker::EditScope edit(chunker);
        chunk->SetCell(3, 2, 1, type, colour);
    }
    // Stores the set as a brick edit does; true when every chunk was stored.
    static bool Save(ServerChunker& chunker, const TouchedSet& chunks) {
        return chunker.SaveChunks(chunks, StoreMode::AllOrNothing) == chunks;
    }

    RecordingHost host;
};

TEST_F(ServerChunkerTest, GetChunkGeneratesFindsAndLoads) {
    std::vector<unsigned char> edited;
    uint32_t editedCount = 0;
    {
        TestChunker chunker(file, &host);
        Chunk* a = chunker.GetChunk(0, 0, 0);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(CellsOf(*a), GeneratedCells(0, 0, 0));
        EXPECT_EQ(a->dirty, 0);
        EXPECT_EQ(chunker.GetChunk(0, 0, 0), a);
        EXPECT_EQ(chunker.LoadedCount(), 1u);
        EXPECT_EQ(RawDb(file).Rows(), 0) << "generated chunks are not stored";

        Chunk* b = chunker.GetChunk(1, 0, 0);
        Edit(chunker, b, 1, 42);
        ASSERT_TRUE(Save(chunker, {b}));
        edited = CellsOf(*b);
        editedCount = b->nonEmptyCount;
        ASSERT_NE(edited, GeneratedCells(1, 0, 0));

        // Only coordinates of the world are made resident.
        for (const Vector3i& c : {Vector3i(24000, 0, 0), Vector3i(-24001, 0, 0), Vector3i(0, 5, 0),
                                  Vector3i(0, -1, 0), Vector3i(0, 0, 24000)})
            EXPECT_EQ(chunker.GetChunk(c.x, c.y, c.z), nullptr) << c.ToString();
        EXPECT_NE(chunker.GetChunk(-24000, 4, 23999), nullptr);
        EXPECT_EQ(chunker.LoadedCount(), 3u);
    }
    TestChunker later(file, &host);
    Chunk* b = later.GetChunk(1, 0, 0);
    EXPECT_EQ(CellsOf(*b), edited);
    EXPECT_EQ(b->dirty, 0);
    EXPECT_EQ(b->nonEmptyCount, editedCount);
}

TEST_F(ServerChunkerTest, ChunkRequestsSendEachNonEmptyChunkOnce) {
    uint32_t skyCount = 1;
    GeneratedCells(0, 4, 0, &skyCount);
    ASSERT_EQ(skyCount, 0u) << "the top layer of the origin is expected to be empty";
    uint32_t groundCount = 0;
    GeneratedCells(0, 0, 0, &groundCount);
    ASSERT_GT(groundCount, 0u);

    TestChunker chunker(file, &host);
    ChunkRequest r = Request({{0, 0, 0}, {0, 4, 0}, {0, 0, 0}, {30000, 0, 0}, {0, 9, 0}, {0, 0, 0}}, 1234);
    r.priority = 2;
    chunker.QueueChunkRequest(r);
    chunker.QueueChunkRequest(Request({{0, 4, 0}, {0, 4, 0}}));  // all empty
    chunker.QueueChunkRequest(Request({}));                       // nothing asked
    chunker.ProcessQueues();

    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0].coordinates, std::vector<Vector3i>({{0, 0, 0}}));
    EXPECT_EQ(host.sent[0].target.guid, Net::Guid(1234));
    EXPECT_TRUE(host.sent[0].target.systemAddress.IsUnassigned());
    EXPECT_EQ(host.sent[0].priority, 2);
    EXPECT_FALSE(host.sent[0].broadcast);
    EXPECT_EQ(chunker.LoadedCount(), 2u) << "the empty chunk is resident, the outside ones are not";
}

TEST_F(ServerChunkerTest, OneRequestIsServedForAtMostItsCap) {
    TestChunker chunker(file, &host);
    std::vector<Vector3i> many;
    for (int i = 0; i < static_cast<int>(ServerChunker::kMaxCoordinatesPerRequest) + 50; ++i)
        many.push_back({i % 2 == 0 ? 0 : 1, 0, 0});  // two distinct chunks ...
    many.back() = {5, 0, 5};                         // ... and one beyond the cap
    chunker.QueueChunkRequest(Request(many));
    chunker.ProcessQueues();
    ASSERT_EQ(host.sent.size(), 1u);
    EXPECT_EQ(host.sent[0].coordinates.size(), 2u);
    EXPECT_FALSE(chunker.IsFiled(5, 0, 5));
}

// A peer that floods the queue fills only its own share; another peer is
// still taken and answered, and a peer that leaves takes its queued requests
// with it (how the worker's time is shared: ChunkWorkerSharingTest.cpp).
TEST_F(ServerChunkerTest, OnePeerFloodingNeitherShutsOutNorStarvesAnother) {
    TestChunker chunker(file, &host);
    const std::vector<Vector3i> full(ServerChunker::kMaxCoordinatesPerRequest, Vector3i(0, 0, 0));
    const size_t fit = ServerChunker::kMaxQueuedCoordinatesPerPeer / ServerChunker::kMaxCoordinatesPerRequest;
    for (size_t i = 0; i < fit; ++i) ASSERT_TRUE(chunker.QueueChunkRequest(Request(full, 1)));
    EXPECT_FALSE(chunker.QueueChunkRequest(Request({{1, 0, 1}}, 1))) << "peer 1's share is full";
    // Requests of nothing count toward a share too.
    for (size_t i = 0; i < ServerChunker::kMaxQueuedRequestsPerPeer; ++i)
        ASSERT_TRUE(chunker.QueueChunkRequest(Request({}, 3)));
    EXPECT_FALSE(chunker.QueueChunkRequest(Request({}, 3)));

    // Another peer still asks, and joins.
    EXPECT_TRUE(chunker.QueueChunkRequest(Request({{-1, 0, 0}}, 2)));
    chunker.QueueSpawnRequest(SpawnRequest{Net::Guid(2), Vector3(0, 0, 0)});
    while (chunker.ProcessQueues()) {
    }
    auto sentTo = [&](uint64_t guid) {
        size_t n = 0;
        for (const SentChunks& s : host.sent) n += s.target.guid == Net::Guid(guid);
        return n;
    };
    EXPECT_EQ(sentTo(2), 1u);
    EXPECT_EQ(host.spawned, std::vector<Net::Guid>({Net::Guid(2)}));
    EXPECT_EQ(sentTo(1), fit) << "each of peer 1's requests answered once";

    // Answered, peer 1's requests free its share.
    EXPECT_TRUE(chunker.QueueChunkRequest(Request({{5, 0, 5}}, 1)));
    // A peer that leaves takes its queued requests with it.
    chunker.DropChunkRequests(Net::Guid(1));
    while (chunker.ProcessQueues()) {
    }
    EXPECT_EQ(sentTo(1), fit);
    EXPECT_FALSE(chunker.IsFiled(5, 0, 5));
}

// A spawn is served before the next turn of any answer; requests that arrive
// during a step are answered in it.
TEST_F(ServerChunkerTest, SpawnsGoBeforeTheNextTurnAndAStepTakesRequestsQueuedDuringIt) {
    TestChunker chunker(file, &host);
    bool queuedMore = false;
    host.onSend = [&] {
        if (queuedMore) return;
        queuedMore = true;  // a request that arrives while the step is under way
        chunker.QueueChunkRequest(Request({{1, 0, 1}}, 3));
    };
    host.onSpawn = [&] {
        // The block around the spawn column is resident when the player spawns.
        for (int x = -1; x <= 1; ++x)
            for (int z = -1; z <= 1; ++z)
                for (int y = 0; y <= 4; ++y) EXPECT_TRUE(chunker.IsFiled(x, y, z));
        EXPECT_EQ(chunker.LoadedCount(), 45u);
    };
    chunker.QueueChunkRequest(Request({{0, 0, 0}}, 1));
    chunker.QueueSpawnRequest(SpawnRequest{Net::Guid(9), Vector3(0, 0, 0)});
    chunker.QueueChunkRequest(Request({{-1, 0, 0}}, 2));
    EXPECT_FALSE(chunker.ProcessQueues()) << "all done in one step";
    EXPECT_EQ(host.events, (std::vector<std::string>{"spawn 9", "chunks", "chunks", "chunks"}));
    ASSERT_EQ(host.sent.size(), 3u);
    EXPECT_EQ(host.sent[2].target.guid, Net::Guid(3));
}

TEST_F(ServerChunkerTest, SpawnColumnAndPlayerChunkRounding) {
    struct Case {
        double x;
        int32_t column;
    };
    // x / 0.8 + 8 truncated: 8 -> 0; 0.0000001 -> 0; -15 -> -1; -16 -> -2; -17 -> -2; -1 -> -1; 16 -> 1.
    const std::vector<Case> cases = {{0.0, 0},   {-6.4, 0},  {-19.2, -1}, {-19.3, -2}, {-20.0, -2},
                                     {-7.3, -1}, {5.6, 0},   {6.5, 1},    {12.8, 1},   {-12.8, -1}};
    for (const Case& c : cases) {
        EXPECT_EQ(ServerChunker::SpawnColumn({c.x, 123.0, 0.0}), Vector3i(c.column, 0, 0)) << c.x;
        EXPECT_EQ(ServerChunker::SpawnColumn({0.0, 0.0, c.x}), Vector3i(0, 0, c.column)) << c.x;
    }
    EXPECT_EQ(ServerChunker::PlayerChunk({0, 15.36, 0}).y, 1);
    EXPECT_EQ(ServerChunker::PlayerChunk({0, 15.3, 0}).y, 0);
    EXPECT_EQ(ServerChunker::PlayerChunk({0, -1.0, 0}).y, 0);
    EXPECT_EQ(ServerChunker::PlayerChunk({0, -16.0, 0}).y, -1);
    // Positions beyond any chunk give a defined result.
    EXPECT_EQ(ServerChunker::SpawnColumn({1e300, 0, std::nan("")}).z, 0);
    EXPECT_GT(ServerChunker::SpawnColumn({1e300, 0, 0}).x, 24000);
}

TEST_F(ServerChunkerTest, SpawnFarOutsideTheWorldStillSpawns) {
    TestChunker chunker(file, &host);
    chunker.QueueSpawnRequest(SpawnRequest{Net::Guid(5), Vector3(-307198.4, 0, 0)});  // column -24000
    chunker.ProcessQueues();
    EXPECT_EQ(host.spawned, std::vector<Net::Guid>({Net::Guid(5)}));
    EXPECT_EQ(chunker.LoadedCount(), 30u) << "the column x -24001 has no place in the world";
}

class EvictionTest : public ServerChunkerTest {
protected:
    // Makes chunks resident through requests, in the given order, each
    // answered (and eviction run) before the next is asked.
    static void Ask(TestChunker& chunker, const std::vector<Vector3i>& coordinates) {
        for (const Vector3i& c : coordinates) {
            chunker.QueueChunkRequest(Request({c}));
            while (chunker.ProcessQueues()) {
            }
        }
    }
    static std::vector<Vector3i> Row(int from, int to) {
        std::vector<Vector3i> r;
        for (int x = from; x <= to; ++x) r.push_back({x, 0, 0});
        return r;
    }
};

TEST_F(EvictionTest, FarChunksGoOldestFirstDownToOneBelowTheLimit) {
    host.players = {Vector3(0, 0, 0)};
    TestChunker chunker(file, &host, 20);
    // Nine near chunks (x 0..8), then (10,0,0) exactly 10 away, then far ones.
    Ask(chunker, Row(0, 8));
    Ask(chunker, Row(10, 20));
    EXPECT_EQ(chunker.LoadedCount(), 20u) << "at the limit nothing is evicted";
    Ask(chunker, Row(21, 21));  // 21 loaded: evict until 19 remain
    EXPECT_EQ(chunker.LoadedCount(), 19u);
    EXPECT_TRUE(chunker.IsFiled(10, 0, 0)) << "exactly 10.0 away stays";
    EXPECT_FALSE(chunker.IsFiled(11, 0, 0));
    EXPECT_FALSE(chunker.IsFiled(12, 0, 0));
    EXPECT_TRUE(chunker.IsFiled(13, 0, 0));
    EXPECT_TRUE(chunker.IsFiled(21, 0, 0));
    for (int x = 0; x <= 8; ++x) EXPECT_TRUE(chunker.IsFiled(x, 0, 0));
}

TEST_F(EvictionTest, AChunkNearAnyPlayerStays) {
    // The second player stands in chunk column 30 (x 384 / 0.8 + 8 = 488 -> 30).
    host.players = {Vector3(0, 0, 0), Vector3(384.0, 0, 0)};
    TestChunker chunker(file, &host, 10);
    Ask(chunker, Row(11, 25));  // 11..19 far from both, 20..25 near the second
    EXPECT_EQ(chunker.LoadedCount(), 9u);
    for (int x = 11; x <= 16; ++x) EXPECT_FALSE(chunker.IsFiled(x, 0, 0)) << x;
    for (int x = 17; x <= 25; ++x) EXPECT_TRUE(chunker.IsFiled(x, 0, 0)) << x;
}

TEST_F(EvictionTest, TooFewFarChunksLeaveTheCountAboveTheLimit) {
    host.players = {Vector3(0, 0, 0)};
    TestChunker chunker(file, &host, 5);
    Ask(chunker, Row(0, 5));
    Ask(chunker, Row(11, 11));
    EXPECT_EQ(chunker.LoadedCount(), 6u);
    EXPECT_FALSE(chunker.IsFiled(11, 0, 0));
}

TEST_F(EvictionTest, WithoutPlayersTheOldestGo) {
    TestChunker chunker(file, &host, 4);
    Ask(chunker, Row(0, 4));
    EXPECT_EQ(chunker.LoadedCount(), 3u);
    EXPECT_FALSE(chunker.IsFiled(0, 0, 0));
    EXPECT_FALSE(chunker.IsFiled(1, 0, 0));
    EXPECT_TRUE(chunker.IsFiled(4, 0, 0));
}

TEST_F(EvictionTest, WaitsWhileAnEditHoldsChunksAndEditsSurviveEviction) {
    TestChunker chunker(file, &host, 2);
    Ask(chunker, Row(0, 1));
    Chunk* edited = chunker.GetChunk(0, 0, 0);
    Edit(chunker, edited, 1, 9);
    ASSERT_TRUE(Save(chunker, {edited}));
    const std::vector<unsigned char> cells = CellsOf(*edited);

    // Another thread holds the chunks resident, as the brick-edit handler does.
    std::mutex m;
    std::condition_variable cv;
    bool holding = false, release = false;
    std::thread editor([&] {
        ServerChunker::EditScope edit(chunker);
        edit.ReleaseCells();  // only the chunks are held, not the cells
        std::unique_lock<std::mutex> lock(m);
        holding = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return holding; });
    }
    Ask(chunker, Row(2, 2));
    EXPECT_EQ(chunker.LoadedCount(), 3u) << "no eviction while the chunks are held";
    {
        std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    editor.join();

    Ask(chunker, Row(3, 3));
    EXPECT_EQ(chunker.LoadedCount(), 1u);
    EXPECT_FALSE(chunker.IsFiled(0, 0, 0));
    // Asked for again, the evicted chunk comes back from its row.
    Chunk* back = chunker.GetChunk(0, 0, 0);
    EXPECT_EQ(CellsOf(*back), cells);
}

TEST_F(EvictionTest, AnEditPutsEvictionOffOnlyUntilTheCountIsOneRequestOver) {
    constexpr uint32_t kLimit = 4;
    TestChunker chunker(file, &host, kLimit);
    // An edit holds chunks resident for a while.
    std::mutex m;
    std::condition_variable cv;
    bool holding = false, release = false;
    std::thread editor([&] {
        ServerChunker::EditScope edit(chunker);
        edit.ReleaseCells();
        std::unique_lock<std::mutex> lock(m);
        holding = true;
        cv.notify_all();
        cv.wait(lock, [&] { return release; });
    });
    {
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return holding; });
    }
    // One request of a thousand far chunks: over the limit, but not by a
    // whole request, so the pass is put off.
    std::vector<Vector3i> many;
    for (int i = 0; i < 1000; ++i) many.push_back({100 + i % 100, i / 100 % 5, 100 + i / 500});
    chunker.QueueChunkRequest(Request(many));
    while (chunker.ProcessQueues()) {
    }
    EXPECT_EQ(chunker.LoadedCount(), 1000u);
    // The next answer takes it a whole request over: eviction waits for the
    // edit (which ends a little later) and then runs.
    std::thread releaser([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::lock_guard<std::mutex> lock(m);
        release = true;
        cv.notify_all();
    });
    many.clear();
    for (int i = 0; i < 100; ++i) many.push_back({-100 - i, 0, -100});
    chunker.QueueChunkRequest(Request(many));
    while (chunker.ProcessQueues()) {
    }
    EXPECT_LT(chunker.LoadedCount(), kLimit);
    editor.join();
    releaser.join();
}

TEST_F(EvictionTest, AChangeWhoseStoreFailedOutlivesEvictionAndIsStoredOnALaterStep) {
    TestChunker chunker(file, &host, 2);
    chunker.Database().SetBusyTimeout(20);
    Ask(chunker, Row(20, 20));
    Chunk* edited = chunker.GetChunk(20, 0, 0);
    Edit(chunker, edited, 1, 9);
    const std::vector<unsigned char> cells = CellsOf(*edited);
    {
        RawDb locker(file);  // another program holds the database
        locker.Exec("BEGIN EXCLUSIVE;");
        testing::internal::CaptureStdout();
        EXPECT_TRUE(chunker.SaveChunks({edited}, StoreMode::AllOrNothing).empty());
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("Cannot store chunk 20,0,0: SQLITE_BUSY[5]"), std::string::npos) << out;
        EXPECT_EQ(chunker.UnstoredCount(), 1u);

        // Far chunks are evicted meanwhile; the one with the unstored change is not.
        Ask(chunker, Row(21, 26));
        EXPECT_TRUE(chunker.IsFiled(20, 0, 0));
        EXPECT_FALSE(chunker.IsFiled(21, 0, 0));
        locker.Exec("ROLLBACK;");
    }
    EXPECT_FALSE(RawDb(file).Data("20,0,0").size() > 0) << "nothing was stored while the database was held";

    // The worker's next step stores it and only then shows it to everyone.
    const size_t sentBefore = host.sent.size();
    testing::internal::CaptureStdout();
    chunker.ServerChunker::Update();
    chunker.AwaitStores();  // the store thread stores and shows it
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Stored chunk 20,0,0"), std::string::npos) << out;
    EXPECT_EQ(chunker.UnstoredCount(), 0u);
    ASSERT_EQ(host.sent.size(), sentBefore + 1);
    EXPECT_EQ(host.sent.back().coordinates, std::vector<Vector3i>({{20, 0, 0}}));
    EXPECT_TRUE(host.sent.back().broadcast);
    std::vector<unsigned char> row;
    std::string error;
    const std::string text = RawDb(file).Data("20,0,0");
    ASSERT_TRUE(DecodeChunkRow(text.c_str(), text.size(), 12288, row, error)) << error;
    EXPECT_EQ(row, cells);

    // Stored, it may go, and it comes back from its row.
    Ask(chunker, Row(27, 29));
    EXPECT_FALSE(chunker.IsFiled(20, 0, 0));
    EXPECT_EQ(CellsOf(*chunker.GetChunk(20, 0, 0)), cells);
}

TEST_F(EvictionTest, StopStoresWhatIsUnstoredAndTheManagerStartsAgainEmpty) {
    const size_t chunksBefore = ChunksInUse();
    TestChunker chunker(file, &host, 3);
    chunker.Database().SetBusyTimeout(20);
    Ask(chunker, Row(0, 2));
    Chunk* edited = chunker.GetChunk(1, 0, 0);
    Edit(chunker, edited, 1, 5);
    const std::vector<unsigned char> cells = CellsOf(*edited);
    {
        RawDb locker(file);
        locker.Exec("BEGIN EXCLUSIVE;");
        testing::internal::CaptureStdout();
        EXPECT_TRUE(chunker.SaveChunks({edited}, StoreMode::AllOrNothing).empty());
        testing::internal::GetCapturedStdout();
        locker.Exec("ROLLBACK;");
    }
    testing::internal::CaptureStdout();
    chunker.Stop();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Stored chunk 1,0,0"), std::string::npos) << out;
    std::vector<unsigned char> row;
    std::string error;
    const std::string text = RawDb(file).Data("1,0,0");
    ASSERT_TRUE(DecodeChunkRow(text.c_str(), text.size(), 12288, row, error)) << error;
    EXPECT_EQ(row, cells);
    EXPECT_EQ(chunker.LoadedCount(), 0u);
    EXPECT_EQ(ChunksInUse(), chunksBefore);

    // Started again, eviction works on the new chunks only.
    chunker.Start();
    Ask(chunker, Row(3, 9));
    EXPECT_LE(chunker.LoadedCount(), 3u);
    EXPECT_EQ(ChunksInUse() - chunksBefore, chunker.LoadedCount());
    EXPECT_EQ(CellsOf(*chunker.GetChunk(1, 0, 0)), cells);
}

TEST_F(ServerChunkerTest, ABrickAcrossTwoChunksIsStoredAsTheModeSays) {
    struct Case {
        StoreMode mode;
        size_t stored;  // chunks of the set, in its order, that reach the database
    };
    for (const Case& c : {Case{StoreMode::AllOrNothing, 0}, Case{StoreMode::UpToFailure, 1}}) {
        std::filesystem::remove(file);
        TestChunker chunker(file, &host);
        Chunk* a = chunker.GetChunk(0, 2, 0);
        Chunk* b = chunker.GetChunk(1, 2, 0);
        ServerChunker::EditScope edit(chunker);
        TouchedSet touched;
        // A 2 x 2 brick in the empty sky, anchored on cell x 7: cells x 7 and 8 lie in chunks 0 and 1.
        ASSERT_TRUE(edit.PlaceBrick({0, 0, 0}, {-1, -1, -1}, *BrickCatalogue::FindShape(2, 0), 4, {7, 40, 0},
                                    &touched, false));
        ASSERT_EQ(touched, (TouchedSet{a, b}));
        // The statement of the set's second chunk fails.
        const Chunk* second = *std::next(touched.begin());
        RawDb(file).Exec("CREATE TRIGGER refuse BEFORE INSERT ON mapdata WHEN NEW.location = '" +
                         ServerChunker::LocationKey(second->cx, second->cy, second->cz) +
                         "' BEGIN SELECT RAISE(ABORT, 'refused'); END;");
        testing::internal::CaptureStdout();
        host.sent.clear();
        edit.Store(touched, c.mode);
        chunker.AwaitStores();
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(RawDb(file).Rows(), static_cast<int>(c.stored));
        EXPECT_EQ(chunker.UnstoredCount(), 2 - c.stored);
        // Exactly what was stored is shown, in one message.
        ASSERT_EQ(host.sent.size(), 1u);
        EXPECT_EQ(host.sent[0].coordinates.size(), c.stored);
        if (c.stored == 1) {
            EXPECT_EQ(host.sent[0].coordinates[0], (*touched.begin())->Coordinates());
        }

        // Once the statement passes again, the rest is stored too.
        RawDb(file).Exec("DROP TRIGGER refuse;");
        EXPECT_TRUE(chunker.StoreUnstoredChunks());
        EXPECT_EQ(RawDb(file).Rows(), 2);
    }
}

// Holds the store thread in its first send (the message of the first edit)
// until Release, so that the edits made meanwhile queue up behind it.
class HeldStoreThread {
public:
    explicit HeldStoreThread(RecordingHost& host) {
        host.onSend = [this] {
            std::unique_lock<std::mutex> lock(m_);
            if (held_) return;
            held_ = true;
            cv_.notify_all();
            cv_.wait(lock, [this] { return released_; });
        };
    }
    void AwaitHeld() {
        std::unique_lock<std::mutex> lock(m_);
        ASSERT_TRUE(cv_.wait_for(lock, std::chrono::seconds(10), [this] { return held_; }));
    }
    void Release() {
        std::lock_guard<std::mutex> lock(m_);
        released_ = true;
        cv_.notify_all();
    }

private:
    std::mutex m_;
    std::condition_variable cv_;
    bool held_ = false;
    bool released_ = false;
};

class StoreThreadTest : public ServerChunkerTest {
protected:
    // One cell of the chunk changed and queued as a brick edit of sender
    // does; returns the chunk's cells as the edit left them.
    static std::vector<unsigned char> EditAndQueue(ServerChunker& chunker, Chunk* chunk, int i,
                                                   Net::Guid sender = Net::UNASSIGNED_GUID) {
        ServerChunker::EditScope edit(chunker);
        chunk->SetCell(i % 16, 3 + i / 16, 0, 1, static_cast<uint8_t>(i + 1));
        const std::vector<unsigned char> cells = CellsOf(*chunk);
        edit.Store({chunk}, StoreMode::AllOrNothing, sender);
        return cells;
    }
    std::vector<unsigned char> Row(const std::string& key) {
        const std::string text = RawDb(file).Data(key);
        std::vector<unsigned char> row;
        std::string error;
        EXPECT_TRUE(DecodeChunkRow(text.c_str(), text.size(), 12288, row, error)) << key << ": " << error;
        return row;
    }
};

TEST_F(StoreThreadTest, QueuedEditsShareOneCommitAndEachIsShownAsStoredInItsOrder) {
    TestChunker chunker(file, &host);
    Chunk* chunks[] = {chunker.GetChunk(0, 2, 0), chunker.GetChunk(1, 2, 0)};
    HeldStoreThread held(host);
    std::vector<std::pair<Vector3i, std::vector<unsigned char>>> made;
    made.emplace_back(chunks[0]->Coordinates(), EditAndQueue(chunker, chunks[0], 0));
    held.AwaitHeld();
    const uint64_t transactions = chunker.StoreTransactions();

    // One client fills its share of the queue; another still may edit.
    const Net::Guid sender(5), other(6);
    const int share = static_cast<int>(ServerChunker::kMaxQueuedChunksPerPeer);
    for (int i = 1; i <= share; ++i) {
        EXPECT_TRUE(chunker.HasStoreRoom(sender)) << i;
        Chunk* c = chunks[i % 2];
        made.emplace_back(c->Coordinates(), EditAndQueue(chunker, c, i, sender));
    }
    EXPECT_FALSE(chunker.HasStoreRoom(sender));
    EXPECT_TRUE(chunker.HasStoreRoom(other));
    EXPECT_EQ(chunker.UnstoredCount(), 2u) << "queued chunks stay resident until stored";
    const std::vector<unsigned char> last[] = {CellsOf(*chunks[0]), CellsOf(*chunks[1])};

    // Let go, the rest is stored in one transaction; the shut-down waits for it.
    held.Release();
    chunker.Stop();
    EXPECT_EQ(chunker.StoreTransactions() - transactions, 1u);
    EXPECT_TRUE(chunker.HasStoreRoom(sender));
    EXPECT_EQ(Row("0,2,0"), last[0]);
    EXPECT_EQ(Row("1,2,0"), last[1]);
    // Every edit's message, in edit order, with the cells that edit stored
    // (never the later state of its chunk).
    ASSERT_EQ(host.sent.size(), made.size());
    for (size_t i = 0; i < made.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(host.sent[i].broadcast);
        ASSERT_EQ(host.sent[i].coordinates, std::vector<Vector3i>({made[i].first}));
        EXPECT_EQ(host.sent[i].cells[0], made[i].second);
    }
}

TEST_F(StoreThreadTest, AFailedEditOfABatchIsNotShownUntilStoredAndTheOthersAre) {
    TestChunker chunker(file, &host);
    Chunk* first = chunker.GetChunk(0, 2, 0);
    Chunk* refused = chunker.GetChunk(1, 2, 0);
    Chunk* fine = chunker.GetChunk(2, 2, 0);
    HeldStoreThread held(host);
    EditAndQueue(chunker, first, 0);
    held.AwaitHeld();
    RawDb(file).Exec("CREATE TRIGGER refuse BEFORE INSERT ON mapdata WHEN NEW.location = '1,2,0' "
                     "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    const std::vector<unsigned char> refusedCells = EditAndQueue(chunker, refused, 1);
    const std::vector<unsigned char> fineCells = EditAndQueue(chunker, fine, 2);
    testing::internal::CaptureStdout();
    held.Release();
    chunker.AwaitStores();
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Cannot store chunk 1,2,0: SQLITE_CONSTRAINT[19]: refused"), std::string::npos) << out;
    ASSERT_EQ(host.sent.size(), 3u);
    EXPECT_TRUE(host.sent[1].coordinates.empty()) << "nothing of the failed edit is shown";
    EXPECT_EQ(host.sent[2].coordinates, std::vector<Vector3i>({{2, 2, 0}}));
    EXPECT_EQ(Row("2,2,0"), fineCells);
    EXPECT_FALSE(RawDb(file).Data("1,2,0").size() > 0);
    EXPECT_EQ(chunker.UnstoredCount(), 1u);

    // The worker's retry stores it and then shows it.
    RawDb(file).Exec("DROP TRIGGER refuse;");
    testing::internal::CaptureStdout();
    chunker.ServerChunker::Update();
    chunker.AwaitStores();
    out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Stored chunk 1,2,0"), std::string::npos) << out;
    EXPECT_EQ(chunker.UnstoredCount(), 0u);
    ASSERT_EQ(host.sent.size(), 4u);
    EXPECT_EQ(host.sent[3].coordinates, std::vector<Vector3i>({{1, 2, 0}}));
    EXPECT_EQ(host.sent[3].cells[0], refusedCells);
    EXPECT_EQ(Row("1,2,0"), refusedCells);
}

// An answer shows each chunk as it is on disk: a change whose store is
// pending or failing is neither shown nor decides whether the chunk is in
// the answer; once its store has committed, it is shown.
TEST_F(StoreThreadTest, AnAnswerShowsEachChunkAsLastStored) {
    TestChunker chunker(file, &host);
    host.shownFrom = &chunker;
    Chunk* ground = chunker.GetChunk(0, 0, 0);
    Chunk* sky = chunker.GetChunk(0, 4, 0);
    ASSERT_GT(ground->nonEmptyCount, 0u);
    ASSERT_EQ(sky->nonEmptyCount, 0u);
    const std::vector<unsigned char> generated = GeneratedCells(0, 0, 0);
    Vector3i inGround(0, -1, 0);  // an empty cell of the ground chunk, in world cells
    for (int i = 0; i < 4096 && inGround.y < 0; ++i)
        if (generated[3 * i] == 0 && generated[3 * i + 1] == 0) inGround = Vector3i(i / 256 - 8, i / 16 % 16, i % 16 - 8);
    ASSERT_GE(inGround.y, 0);
    const Vector3i inSky(0, 70, 0);
    const BrickShape& brick = *BrickCatalogue::FindShape(0, 0);

    using Shown = std::vector<std::pair<Vector3i, std::vector<unsigned char>>>;
    auto answer = [&] {  // what a request for both chunks is answered with
        host.sent.clear();
        chunker.QueueChunkRequest(Request({{0, 0, 0}, {0, 4, 0}}));
        chunker.ProcessQueues();
        Shown shown;
        for (const SentChunks& s : host.sent)
            for (size_t i = 0; i < s.coordinates.size(); ++i) shown.emplace_back(s.coordinates[i], s.cells[i]);
        return shown;
    };
    const Shown atFirst = {{{0, 0, 0}, generated}};
    ASSERT_EQ(answer(), atFirst);

    // Pending: a reader keeps the store thread's commit waiting.
    RawDb reader(file);
    reader.Exec("BEGIN; SELECT count(*) FROM mapdata;");
    {
        ServerChunker::EditScope edit(chunker);
        TouchedSet touched;
        ASSERT_TRUE(edit.PlaceBrick({0, 0, 0}, {-1, -1, -1}, brick, 5, inGround, &touched, false));
        edit.ReleaseCells();  // changed, not yet queued (as a design between its holds)
        EXPECT_EQ(answer(), atFirst);
        ASSERT_TRUE(edit.PlaceBrick({0, 0, 0}, {-1, -1, -1}, brick, 5, inSky, &touched, false));
        edit.Store(touched, StoreMode::AllOrNothing);
    }
    EXPECT_EQ(answer(), atFirst) << "the sky chunk, stored empty, stays out of the answer";
    EXPECT_EQ(chunker.UnstoredCount(), 2u);
    reader.Exec("ROLLBACK;");
    chunker.AwaitStores();
    const std::vector<unsigned char> groundStored = CellsOf(*ground), skyStored = CellsOf(*sky);
    EXPECT_EQ(answer(), (Shown{{{0, 0, 0}, groundStored}, {{0, 4, 0}, skyStored}}));

    // Failing: the brick in the sky is removed, and its store fails.
    chunker.Database().SetBusyTimeout(20);
    reader.Exec("BEGIN EXCLUSIVE;");
    testing::internal::CaptureStdout();
    {
        ServerChunker::EditScope edit(chunker);
        TouchedSet touched;
        ASSERT_NE(edit.RemoveBrickAt(inSky, &touched), nullptr);
        edit.Store(touched, StoreMode::AllOrNothing);
    }
    chunker.AwaitStores();
    ASSERT_EQ(sky->nonEmptyCount, 0u);
    EXPECT_EQ(answer(), (Shown{{{0, 0, 0}, groundStored}, {{0, 4, 0}, skyStored}}))
        << "an emptied chunk is shown as stored while its store fails";
    reader.Exec("ROLLBACK;");
    chunker.Database().SetBusyTimeout(60000);
    chunker.ServerChunker::Update();  // the worker's retry
    chunker.AwaitStores();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Cannot store chunk 0,4,0"), std::string::npos) << out;
    EXPECT_EQ(chunker.UnstoredCount(), 0u);
    EXPECT_EQ(answer(), (Shown{{{0, 0, 0}, groundStored}})) << "stored empty, it is left out again";
}

// What reaches a peer of one chunk never goes back in the store's history:
// an answer that was built before a commit, and takes long to pack, is never
// sent after that commit's broadcast. One thread keeps stacking bricks in a
// chunk, each stored and broadcast; another keeps answering a large request
// that holds it. Every message, in the order they are sent, must show the
// chunk with no fewer bricks than the one before.
TEST_F(StoreThreadTest, AnAnswerNeverFollowsABroadcastOfALaterState) {
    class OrderedHost : public RecordingHost {
    public:
        void SendChunks(const TouchedSet& chunks, const Net::AddressOrGuid&, int, bool) override {
            chunker->SendShownChunks(chunks, [this](const Net::BitStream& message) {
                std::vector<ChunkDataEntry> entries;
                ASSERT_TRUE(ReadChunkDataMessage(message.GetData(), message.GetNumberOfBytesUsed(), entries));
                Note(entries);
            });
        }
        void SendChunkEntries(uint32_t count, const Net::BitStream& body, const Net::AddressOrGuid&, int,
                              bool) override {
            Net::BitStream message;
            WriteChunkDataMessage(count, body, message);
            std::vector<ChunkDataEntry> entries;
            ASSERT_TRUE(ReadChunkDataMessage(message.GetData(), message.GetNumberOfBytesUsed(), entries));
            Note(entries);
        }
        // The bricks of the watched chunk in each message that holds it.
        void Note(const std::vector<ChunkDataEntry>& entries) {
            for (const ChunkDataEntry& e : entries) {
                if (Vector3i(e.cx, e.cy, e.cz) != watched) continue;
                uint32_t bricks = 0;
                for (size_t i = 0; i < e.cells.size(); i += 3) bricks += (e.cells[i] | e.cells[i + 1]) != 0;
                std::lock_guard<std::mutex> lock(mutex);
                seen.push_back(bricks);
            }
        }
        ServerChunker* chunker = nullptr;
        Vector3i watched{0, 4, 0};
        std::vector<uint32_t> seen;
    };
    OrderedHost ordered;
    TestChunker chunker(file, &ordered);
    ordered.chunker = &chunker;
    // A large answer (its packing takes a while) that holds the watched chunk.
    TouchedSet answer;
    for (int x = -8; x < 8; ++x)
        for (int z = -8; z < 8; ++z) answer.insert(chunker.GetChunk(x, 0, z));
    answer.insert(chunker.GetChunk(0, 4, 0));
    const BrickShape& brick = *BrickCatalogue::FindShape(0, 0);

    std::atomic<bool> stacking{true};
    std::thread stacker([&] {
        for (int i = 0; i < 256 && stacking; ++i) {
            {
                ServerChunker::EditScope edit(chunker);
                TouchedSet touched;
                ASSERT_TRUE(edit.PlaceBrick({0, 0, 0}, {-1, -1, -1}, brick, 5, {i % 16 - 8, 64 + i / 16, 0},
                                            &touched, false));
                edit.Store(touched, StoreMode::AllOrNothing);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        stacking = false;
    });
    while (stacking) ordered.SendChunks(answer, Net::AddressOrGuid(Net::Guid(7)), 2, false);
    stacker.join();
    chunker.AwaitStores();

    std::lock_guard<std::mutex> lock(ordered.mutex);
    ASSERT_GT(ordered.seen.size(), 256u);
    for (size_t i = 1; i < ordered.seen.size(); ++i)
        ASSERT_GE(ordered.seen[i], ordered.seen[i - 1]) << "message " << i << " shows an older state";
    EXPECT_EQ(ordered.seen.back(), 256u);
}

TEST_F(ServerChunkerTest, StoredRowsAreExactAndSurviveReopening) {
    std::string first, second;
    std::vector<unsigned char> cells;
    {
        TestChunker chunker(file, &host);
        Chunk* c = chunker.GetChunk(-1, 0, 12);
        Edit(chunker, c, 1, 0);  // colour 0 and index bytes 0: escapes are needed
        ASSERT_TRUE(Save(chunker, {c}));
        RawDb raw(file);
        bool found = false;
        first = raw.Data("-1,0,12", &found);
        ASSERT_TRUE(found);
        EXPECT_EQ(raw.type, "text");
        EXPECT_EQ(first.find('\0'), std::string::npos);
        EXPECT_EQ(first.find('\''), std::string::npos);

        std::vector<unsigned char> framed(first.size());
        const int n = SqlDecodeBinary(reinterpret_cast<const unsigned char*>(first.c_str()), framed.data());
        ASSERT_GT(n, 8);
        framed.resize(static_cast<size_t>(n));
        const uint32_t cl = (uint32_t(framed[0]) << 24) | (uint32_t(framed[1]) << 16) | (uint32_t(framed[2]) << 8) |
                            framed[3];
        EXPECT_EQ(cl, framed.size() - 8);
        EXPECT_EQ(std::vector<unsigned char>(framed.begin() + 4, framed.begin() + 8),
                  (std::vector<unsigned char>{0x00, 0x00, 0x30, 0x00}));
        std::vector<unsigned char> inflated(12288);
        uLongf got = 12288;
        ASSERT_EQ(uncompress(inflated.data(), &got, framed.data() + 8, cl), Z_OK);
        cells = CellsOf(*c);
        EXPECT_EQ(inflated, cells);

        // DecompressChunk reads the same frame.
        Net::BitStream in(framed.data(), framed.size(), false), out;
        ASSERT_TRUE(chunker.DecompressChunk(in, out));
        EXPECT_EQ(std::vector<unsigned char>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed()), cells);

        Edit(chunker, c, 2, 3);
        ASSERT_TRUE(Save(chunker, {c}));
        second = raw.Data("-1,0,12");
        EXPECT_NE(second, first);
        EXPECT_EQ(raw.Rows(), 1) << "a chunk has one row";
        cells = CellsOf(*c);
    }
    TestChunker reopened(file, &host);
    EXPECT_EQ(RawDb(file).Data("-1,0,12"), second);
    Chunk* c = reopened.GetChunk(-1, 0, 12);
    EXPECT_EQ(CellsOf(*c), cells);
    EXPECT_EQ(RawDb(file).Data("-1,0,12"), second) << "loading does not rewrite the row";
}

TEST_F(ServerChunkerTest, DamagedRowsAreTreatedAsMissingAndKept) {
    const std::vector<unsigned char> generated = GeneratedCells(2, 0, 2);
    const std::vector<unsigned char> zeros = Deflate(std::vector<unsigned char>(12288, 0));
    const std::vector<unsigned char> short12287 = Deflate(std::vector<unsigned char>(12287, 0));
    const std::vector<unsigned char> short100 = Deflate(std::vector<unsigned char>(100, 0));
    auto size = [](const std::vector<unsigned char>& v) { return static_cast<uint32_t>(v.size()); };
    struct Case {
        const char* name;
        std::string data;
        bool null;
        bool reported;
    };
    const std::vector<Case> cases = {
        {"bad escape", std::string("\x05\x01\x04", 3), false, true},
        {"empty text", "", false, true},
        {"short frame", Encode({0, 0, 0}), false, true},
        {"raw length of no chunk", Encode(Frame(size(short12287), 12287, short12287)), false, true},
        {"compressed length beyond the row", Encode(Frame(size(zeros) + 1, 12288, zeros)), false, true},
        {"not zlib data", Encode(Frame(20, 12288, std::vector<unsigned char>(20, 0x55))), false, true},
        {"inflates short", Encode(Frame(size(short100), 12288, short100)), false, true},
        {"null data", "", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string& data = c.data;
        RawDb(file).Put("2,0,2", data, c.null);
        {
            TestChunker chunker(file, &host);
            testing::internal::CaptureStdout();
            Chunk* chunk = chunker.GetChunk(2, 0, 2);
            const std::string out = testing::internal::GetCapturedStdout();
            ASSERT_NE(chunk, nullptr);
            EXPECT_EQ(CellsOf(*chunk), generated);
            EXPECT_EQ(out.find("Cannot load chunk 2,0,2") != std::string::npos, c.reported) << out;
        }
        bool found = false;
        EXPECT_EQ(RawDb(file).Data("2,0,2", &found), c.null ? "" : data);
        EXPECT_TRUE(found) << "the row is kept";
    }
    // An edit of the chunk stores it afresh.
    TestChunker chunker(file, &host);
    Chunk* chunk = chunker.GetChunk(2, 0, 2);
    Edit(chunker, chunk, 1, 1);
    ASSERT_TRUE(Save(chunker, {chunk}));
    std::vector<unsigned char> raw;
    std::string error;
    EXPECT_TRUE(DecodeChunkRow(RawDb(file).Data("2,0,2").c_str(), RawDb(file).Data("2,0,2").size(), 12288, raw, error))
        << error;
    EXPECT_EQ(raw, CellsOf(*chunk));
}

// The store that replaces a damaged row moves its bytes first, in the same
// transaction: a store that fails moves nothing, and only the first store
// after the row was found damaged moves it.
TEST_F(StoreThreadTest, ADamagedRowIsKeptByTheStoreThatReplacesIt) {
    const std::string damaged("\x05\x01\x04 damaged", 11);
    RawDb(file).Put("2,0,2", damaged);
    auto kept = [&] {  // the rows of the table of damaged rows: location and data
        std::vector<std::pair<std::string, std::string>> rows;
        sqlite3* db = nullptr;
        sqlite3_open(file.c_str(), &db);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(db, "select location, data, found, kept from mapdata_damaged order by rowid", -1, &st,
                               nullptr) == SQLITE_OK) {
            while (sqlite3_step(st) == SQLITE_ROW) {
                EXPECT_NE(sqlite3_column_text(st, 2), nullptr);
                EXPECT_NE(sqlite3_column_text(st, 3), nullptr);
                rows.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                                  std::string(static_cast<const char*>(sqlite3_column_blob(st, 1)),
                                              static_cast<size_t>(sqlite3_column_bytes(st, 1))));
            }
        }
        sqlite3_finalize(st);
        sqlite3_close(db);
        return rows;
    };
    TestChunker chunker(file, &host);
    testing::internal::CaptureStdout();
    Chunk* chunk = chunker.GetChunk(2, 0, 2);
    Chunk* other = chunker.GetChunk(0, 2, 0);

    // A store that fails is rolled back with the move.
    RawDb(file).Exec("CREATE TRIGGER refuse BEFORE INSERT ON mapdata WHEN NEW.location = '2,0,2' "
                     "BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    EditAndQueue(chunker, chunk, 0);
    chunker.AwaitStores();
    EXPECT_TRUE(kept().empty());
    EXPECT_EQ(RawDb(file).Data("2,0,2"), damaged);
    RawDb(file).Exec("DROP TRIGGER refuse;");

    // Two stores of the chunk in one transaction move the row once.
    HeldStoreThread held(host);
    EditAndQueue(chunker, other, 0);
    held.AwaitHeld();
    chunker.ServerChunker::Update();  // the worker's retry of the failed store
    EditAndQueue(chunker, chunk, 1);
    EditAndQueue(chunker, chunk, 2);
    held.Release();
    chunker.AwaitStores();
    EditAndQueue(chunker, chunk, 3);  // a later store moves nothing
    chunker.AwaitStores();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(kept(), (std::vector<std::pair<std::string, std::string>>{{"2,0,2", damaged}}));
    EXPECT_EQ(Row("2,0,2"), CellsOf(*chunk));
    const std::string line = "The damaged row of chunk 2,0,2 was kept in the table mapdata_damaged of " + file +
                             " before the chunk was stored afresh";
    EXPECT_NE(out.find(line), std::string::npos) << out;
    EXPECT_EQ(out.find(line), out.rfind(line)) << out;
}

TEST_F(ServerChunkerTest, DecompressChunkRefusesBadFrames) {
    TestChunker chunker(file, &host);
    const std::vector<unsigned char> zeros(12288, 0);
    const std::vector<unsigned char> good = Deflate(zeros);
    const std::vector<std::vector<unsigned char>> bad = {
        {},
        {0, 0, 0},
        Frame(static_cast<uint32_t>(good.size()), 12287, good),
        Frame(static_cast<uint32_t>(good.size()) + 1, 12288, good),
        Frame(static_cast<uint32_t>(good.size()), 24576, good),
        Frame(4, 12288, {1, 2, 3, 4}),
    };
    for (const auto& frame : bad) {
        Net::BitStream in(frame.data(), frame.size(), false), out;
        EXPECT_FALSE(chunker.DecompressChunk(in, out)) << frame.size();
        EXPECT_EQ(out.GetNumberOfBitsUsed(), 0u);
    }
    const std::vector<unsigned char> frame = Frame(static_cast<uint32_t>(good.size()), 12288, good);
    Net::BitStream in(frame.data(), frame.size(), false), out;
    EXPECT_TRUE(chunker.DecompressChunk(in, out));
    EXPECT_EQ(out.GetNumberOfBytesUsed(), 12288u);
    EXPECT_EQ(in.GetNumberOfUnreadBits(), 0u);
}

TEST_F(ServerChunkerTest, AFailedStoreOrLoadIsReportedAndSurvived) {
    TestChunker chunker(file, &host);
    Chunk* a = chunker.GetChunk(0, 0, 0);
    chunker.Database().Close();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(Save(chunker, {a}));
    Chunk* b = chunker.GetChunk(3, 0, 3);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Cannot store chunk 0,0,0: SQLWRAPPER_ERROR[1000]: Database not open"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Cannot load chunk 3,0,3: SQLWRAPPER_ERROR[1000]: Database not open"), std::string::npos)
        << out;
    EXPECT_EQ(b, nullptr) << "nothing generated stands in for a row that could not be read";
    EXPECT_FALSE(chunker.IsFiled(3, 0, 3));
}

// A load that fails for a reason other than a damaged row leaves the chunk
// out, so that no edit can store generated cells over its row.
TEST_F(ServerChunkerTest, AChunkThatCannotBeReadIsLeftOutAndItsRowSurvivesAnEdit) {
    std::vector<unsigned char> stored;
    {
        TestChunker first(file, &host);
        Chunk* c = first.GetChunk(2, 0, 2);
        Edit(first, c, 1, 42);
        ASSERT_TRUE(Save(first, {c}));
        stored = CellsOf(*c);
    }
    const std::string row = RawDb(file).Data("2,0,2");
    // A cell of chunk (2, 0, 2) that is empty when generated: an edit there
    // succeeds on a generated stand-in.
    const std::vector<unsigned char> generated = GeneratedCells(2, 0, 2);
    Vector3i empty(0, -1, 0);
    for (int i = 0; i < 4096 && empty.y < 0; ++i)
        if (generated[3 * i] == 0 && generated[3 * i + 1] == 0)
            empty = Vector3i(2 * 16 - 8 + i / 256, i / 16 % 16, 2 * 16 - 8 + i % 16);  // x outermost, then y, z
    ASSERT_GE(empty.y, 0);

    struct Case {
        const char* name;
        const char* error;
        std::function<void(TestChunker&, RawDb&)> fail, heal;
    };
    const std::vector<Case> cases = {
        {"busy", "SQLITE_BUSY[5]",
         [](TestChunker& c, RawDb& other) {
             c.Database().SetBusyTimeout(20);
             other.Exec("BEGIN EXCLUSIVE;");
         },
         [](TestChunker&, RawDb& other) { other.Exec("ROLLBACK;"); }},
        {"not open", "SQLWRAPPER_ERROR[1000]: Database not open",
         [](TestChunker& c, RawDb&) { c.Database().Close(); },
         [this](TestChunker& c, RawDb&) { c.Database().Open(file.c_str()); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        host.sent.clear();
        host.spawned.clear();
        TestChunker chunker(file, &host);
        RawDb other(file);
        c.fail(chunker, other);
        testing::internal::CaptureStdout();
        chunker.QueueChunkRequest(Request({{2, 0, 2}, {3, 0, 3}}));
        chunker.QueueSpawnRequest(SpawnRequest{Net::Guid(6), Vector3(0, 0, 0)});
        chunker.ProcessQueues();
        TouchedSet touched;
        {
            // Lands nowhere: its only chunk is not resident.
            ServerChunker::EditScope edit(chunker);
            edit.PlaceBrick({0, 0, 0}, {-1, -1, -1}, *BrickCatalogue::FindShape(0, 0), 3, empty, &touched, false);
            edit.Store(touched, StoreMode::AllOrNothing);
        }
        chunker.AwaitStores();
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(std::string("Cannot load chunk 2,0,2: ") + c.error), std::string::npos) << out;
        EXPECT_TRUE(touched.empty());
        EXPECT_FALSE(chunker.IsFiled(2, 0, 2));
        EXPECT_FALSE(chunker.IsFiled(3, 0, 3)) << "nor is any other chunk generated while the database fails";
        // The edit's message holds no chunk; nothing else is sent.
        ASSERT_EQ(host.sent.size(), 1u);
        EXPECT_TRUE(host.sent[0].coordinates.empty());
        host.sent.clear();
        EXPECT_TRUE(host.spawned.empty()) << "the spawn waits for its block";

        c.heal(chunker, other);
        EXPECT_EQ(RawDb(file).Data("2,0,2"), row);
        // Asked again, the stored chunk comes back; the spawn follows.
        chunker.QueueChunkRequest(Request({{2, 0, 2}}));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (host.spawned.empty() && std::chrono::steady_clock::now() < deadline) {
            chunker.ProcessQueues();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_EQ(host.spawned, std::vector<Net::Guid>({Net::Guid(6)}));
        ASSERT_FALSE(host.sent.empty());
        EXPECT_EQ(host.sent.front().coordinates, std::vector<Vector3i>({{2, 0, 2}}));
        EXPECT_EQ(CellsOf(*chunker.GetChunk(2, 0, 2)), stored);
    }
}

TEST_F(ServerChunkerTest, TheWorkerAnswersQueuedRequests) {
    ServerChunker chunker(nullptr, &host, file);
    chunker.QueueChunkRequest(Request({{0, 0, 0}}, 8));  // queued before the worker runs
    chunker.Start();
    chunker.QueueSpawnRequest(SpawnRequest{Net::Guid(8), Vector3(0, 0, 0)});
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(host.mutex);
            if (!host.spawned.empty() && host.itemSteps.size() >= 2) break;
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline);
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    chunker.Stop();
    EXPECT_EQ(host.sent.size(), 1u);
    EXPECT_GE(host.garbageSteps.load(), 2);
    for (double dt : host.itemSteps) {
        EXPECT_GE(dt, 0.0);
        EXPECT_LE(dt, 0.1);
    }
}

TEST_F(ServerChunkerTest, AStalledStepGivesTheHeldItemsAtMostATenthOfASecond) {
    ServerChunker chunker(nullptr, &host, file);
    // The first step stalls in its garbage step, before the elapsed time is taken.
    host.onGarbage = [&] {
        if (host.garbageSteps == 1) std::this_thread::sleep_for(std::chrono::milliseconds(120));
    };
    chunker.Update();
    chunker.Update();
    ASSERT_EQ(host.itemSteps.size(), 2u);
    EXPECT_EQ(host.itemSteps[0], 0.1);
    EXPECT_GE(host.itemSteps[1], 0.015) << "measured from the reset of the step before, across its pause";
    EXPECT_LE(host.itemSteps[1], 0.1);
}

}  // namespace
}  // namespace Tav
