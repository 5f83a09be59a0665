// Chunks as a client meets them: the real server binary, a real peer on
// loopback, and the world.db that the server leaves in its working folder.
#include <gtest/gtest.h>

#include <sqlite3.h>

#include <csignal>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "core/GameMessages.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/ProcessHarness.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/ChunkDataCells.h"
#include "world/ChunkMessage.h"
#include "world/TerrainGenerator.h"

namespace {

using namespace std::chrono_literals;
using TavTest::ChunkRequest;
using TavTest::ParseChunkData;
using TavTest::PlaceBrick;
using TavTest::RawClient;
using TavTest::ServerProcess;
using TavTest::TypeAt;
using TavTest::WorkFolder;

std::vector<unsigned char> Generated(int cx, int cy, int cz, uint32_t* count = nullptr) {
    Tav::Chunk* chunk = Tav::AllocChunk();
    chunk->Init(cx, cy, cz);
    Tav::TerrainGenerator::GenerateChunk(chunk);
    Net::BitStream out;
    chunk->Serialize(out);
    if (count) *count = chunk->nonEmptyCount;
    Tav::FreeChunk(chunk);
    return std::vector<unsigned char>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
}

Net::BitStream Bytes(const std::vector<unsigned char>& bytes) {
    Net::BitStream m;
    m.WriteBytes(bytes.data(), bytes.size());
    return m;
}

// A rows helper over the server's database file.
struct Db {
    explicit Db(const std::filesystem::path& file) { sqlite3_open(file.string().c_str(), &db); }
    ~Db() { sqlite3_close(db); }
    void Exec(const std::string& sql) { sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr); }
    std::optional<std::string> Row(const std::string& key) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "select data from mapdata where location = ?", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, key.c_str(), -1, SQLITE_TRANSIENT);
        std::optional<std::string> text;
        if (sqlite3_step(st) == SQLITE_ROW)
            text = std::string(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                               static_cast<size_t>(sqlite3_column_bytes(st, 0)));
        sqlite3_finalize(st);
        return text;
    }
    sqlite3* db = nullptr;
};

class ChunkRoad : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Tav::BrickCatalogue::Build();
        Tav::TerrainGenerator::PrepareShapeTables();
        Tav::SimplexNoise::InitPermutations();
    }

    // Starts the server, connects and waits for the spawn notice.
    void Begin() {
        server.emplace(folder);
        ASSERT_TRUE(server->WaitForLine("Starting server...")) << server->Transcript();
        ASSERT_TRUE(server->WaitUntilListening()) << server->Transcript();
        peer.emplace();
        ASSERT_TRUE(peer->Connect()) << server->Transcript();
        ASSERT_TRUE(peer->WaitFor(Tav::ID_PLAYER_SPAWNED)) << server->Transcript();
    }
    void End() {
        peer.reset();
        ASSERT_TRUE(server->WriteLine("exit"));
        EXPECT_EQ(server->WaitExit(), 0) << server->Transcript();
        server.reset();
    }
    // The chunks of (0, 0, 0) as the server sends them now.
    std::vector<unsigned char> OriginNow() {
        EXPECT_TRUE(peer->Send(ChunkRequest({{0, 0, 0}})));
        const auto entries = ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA));
        return entries.size() == 1 ? entries[0].cells : std::vector<unsigned char>();
    }
    // An empty cell of chunk (0, 0, 0) on the studs of a generated brick, with
    // room for a 2 x 2 brick towards +x and +z, in world cells.
    static Tav::Vector3i SurfaceCell() {
        const auto cells = Generated(0, 0, 0);
        for (int x = 0; x < 15; ++x)
            for (int z = 0; z < 15; ++z)
                for (int y = 1; y < 16; ++y) {
                    const Tav::BrickCell* below = Tav::CellTypeTable::Get(TypeAt(cells, x, y - 1, z));
                    const bool room = TypeAt(cells, x, y, z) == 0 && TypeAt(cells, x + 1, y, z) == 0 &&
                                      TypeAt(cells, x, y, z + 1) == 0 && TypeAt(cells, x + 1, y, z + 1) == 0;
                    if (room && below && below->hasTopStuds) return {x - 8, y, z - 8};
                }
        ADD_FAILURE() << "no surface in chunk (0, 0, 0)";
        return {0, 0, 0};
    }

    WorkFolder folder;
    std::optional<ServerProcess> server;
    std::optional<RawClient> peer;
};

TEST_F(ChunkRoad, ARequestIsAnsweredWithTheGeneratedChunksOnce) {
    uint32_t skyCount = 1;
    Generated(0, 4, 0, &skyCount);
    ASSERT_EQ(skyCount, 0u);
    Begin();

    ASSERT_TRUE(peer->Send(ChunkRequest({{0, 0, 0}, {0, 4, 0}, {1, 0, 0}, {0, 0, 0}, {99999, 0, 0}})));
    const auto entries = ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA));
    ASSERT_EQ(entries.size(), 2u);
    for (const auto& e : entries) {
        SCOPED_TRACE(std::to_string(e.cx) + "," + std::to_string(e.cy) + "," + std::to_string(e.cz));
        EXPECT_TRUE((e.cx == 0 || e.cx == 1) && e.cy == 0 && e.cz == 0);
        EXPECT_EQ(e.cells, Generated(e.cx, e.cy, e.cz));
    }
    EXPECT_NE(entries[0].cx, entries[1].cx);

    // A request of empty chunks only is not answered: the next answer is the next request's.
    ASSERT_TRUE(peer->Send(ChunkRequest({{0, 4, 0}, {1, 4, 1}})));
    ASSERT_TRUE(peer->Send(ChunkRequest({{-1, 0, 0}})));
    const auto next = ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA));
    ASSERT_EQ(next.size(), 1u);
    EXPECT_EQ(next[0].cx, -1);
    End();
}

TEST_F(ChunkRoad, BrokenMessagesLeaveTheServerRunningAndTheWorldUnchanged) {
    const Tav::Vector3i at = SurfaceCell();
    Begin();
    const std::vector<unsigned char> before = OriginNow();
    ASSERT_EQ(before, Generated(0, 0, 0));

    Net::BitStream place = PlaceBrick(at, 0, 0, 3);
    const std::vector<unsigned char> placeBytes(place.GetData(), place.GetData() + place.GetNumberOfBytesUsed());
    auto cut = [](const std::vector<unsigned char>& b, size_t n) { return std::vector<unsigned char>(b.begin(), b.begin() + n); };
    const std::vector<std::vector<unsigned char>> broken = {
        {130},
        {130, 0, 0},
        {130, 0x7F, 0xFF, 0xFF, 0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // a huge count, one short entry
        {130, 0xFF, 0xFF, 0xFF, 0xFB},                                 // a negative count
        {131},
        {132, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
        cut(placeBytes, 1),
        cut(placeBytes, 13),  // no type, rotation or colour: must not place type 0
        cut(placeBytes, 15),  // no colour
        {134},
        {134, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0},  // one byte short
        {135},
        {135, 0xFF, 0xFF, 0xFF, 0xFF, 'e', 'x', 'i', 't'},
        {135, 0, 0, 0, 9, 'q', 'u', 'i', 't'},
        {135, 0, 0, 0, 4, 'e', 'x', 'i', 't'},          // a command, not the console's exit
        {135, 0, 0, 0, 6, 'q', 'u', 'i', 't', 0, 'x'},  // cut at the zero byte
        {136},
        {136, 1, 2, 3, 4, 5, 6, 7, 8},
        {137, 1, 2, 3},
        {255},
    };
    for (const auto& b : broken) ASSERT_TRUE(peer->Send(Bytes(b)));

    // Handled in order: the answer to this request comes after all of them.
    EXPECT_EQ(OriginNow(), before);
    EXPECT_TRUE(server->Running()) << server->Transcript();
    // None of the broken edits was answered with chunk data.
    size_t chunkMessages = 0;
    for (const auto& r : peer->All()) chunkMessages += r.data[0] == Tav::ID_CHUNK_DATA;
    EXPECT_EQ(chunkMessages, 2u);

    // A whole placement still works afterwards and is broadcast.
    ASSERT_TRUE(peer->Send(place));
    const auto edited = ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA));
    ASSERT_EQ(edited.size(), 1u);
    EXPECT_EQ(TypeAt(edited[0].cells, at.x + 8, at.y, at.z + 8), Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex);
    End();
}

TEST_F(ChunkRoad, EditsAreBroadcastToEveryPeer) {
    const Tav::Vector3i at = SurfaceCell();
    Begin();
    RawClient other;
    ASSERT_TRUE(other.Connect()) << server->Transcript();
    ASSERT_TRUE(other.WaitFor(Tav::ID_PLAYER_SPAWNED)) << server->Transcript();

    // A 2 x 2 brick, then its removal from its far corner.
    const Tav::BrickShape& square = *Tav::BrickCatalogue::FindShape(2, 0);
    ASSERT_TRUE(peer->Send(PlaceBrick(at, 2, 0, 9)));
    for (RawClient* p : {&*peer, &other}) {
        const auto placed = ParseChunkData(p->WaitFor(Tav::ID_CHUNK_DATA));
        ASSERT_FALSE(placed.empty());
        bool found = false;
        for (const auto& e : placed)
            if (e.cx == 0 && e.cy == 0 && e.cz == 0)
                found = TypeAt(e.cells, at.x + 8, at.y, at.z + 8) == square.cells[1]->typeIndex;  // record (0, 0, 0)
        EXPECT_TRUE(found);
    }
    Net::BitStream remove;
    remove.Write(static_cast<uint8_t>(Tav::ID_REMOVE_BRICK));
    remove.Write(at.x + 1);
    remove.Write(at.y);
    remove.Write(at.z + 1);
    ASSERT_TRUE(other.Send(remove));
    for (RawClient* p : {&*peer, &other}) {
        for (const auto& e : ParseChunkData(p->WaitFor(Tav::ID_CHUNK_DATA)))
            if (e.cx == 0 && e.cy == 0 && e.cz == 0) {
                const size_t cell = 3 * static_cast<size_t>(((at.x + 8) * 16 + at.y) * 16 + at.z + 8);
                EXPECT_EQ(TypeAt(e.cells, at.x + 8, at.y, at.z + 8), 0);
                EXPECT_EQ(e.cells[cell + 2], 255);
            }
    }
    // A removal where nothing stands: the 13-byte message with no chunk.
    Net::BitStream nothing;
    nothing.Write(static_cast<uint8_t>(Tav::ID_REMOVE_BRICK));
    nothing.Write(0);
    nothing.Write(70);
    nothing.Write(0);
    ASSERT_TRUE(peer->Send(nothing));
    const auto empty = other.WaitFor(Tav::ID_CHUNK_DATA);
    ASSERT_TRUE(empty.has_value());
    EXPECT_EQ(*empty, (std::vector<unsigned char>{132, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
    End();
}

TEST_F(ChunkRoad, StoredRowsComeBackIdenticalAfterARestart) {
    const Tav::Vector3i at = SurfaceCell();
    Begin();
    ASSERT_TRUE(peer->Send(PlaceBrick(at, 0, 0, 7)));
    const auto edited = ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA));
    ASSERT_EQ(edited.size(), 1u);
    End();

    std::optional<std::string> row = Db(folder.Path() / "world.db").Row("0,0,0");
    ASSERT_TRUE(row.has_value());
    EXPECT_EQ(row->find('\''), std::string::npos);

    Begin();
    EXPECT_EQ(OriginNow(), edited[0].cells);
    End();
    EXPECT_EQ(Db(folder.Path() / "world.db").Row("0,0,0"), row);
}

// A client is shown an edit only once it is stored: a server killed right
// after a burst of edits has every edit that it broadcast.
TEST_F(ChunkRoad, EveryEditThatWasShownSurvivesAKill) {
    const Tav::Vector3i base = SurfaceCell();
    const uint16_t oneByOne = Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex;
    constexpr int kEdits = 24;  // a tower of 1 x 1 bricks, up into the chunk layers above
    auto shownBricks = [&](const std::vector<Tav::ChunkDataEntry>& entries, std::set<int>& shown) {
        for (const auto& e : entries)
            for (int k = 0; k < kEdits; ++k) {
                const Tav::CellLocation at = Tav::LocateCell(base + Tav::Vector3i(0, k, 0));
                if (at.chunk == Tav::Vector3i(e.cx, e.cy, e.cz) &&
                    TypeAt(e.cells, at.local.x, at.local.y, at.local.z) == oneByOne)
                    shown.insert(k);
            }
    };
    Begin();
    for (int k = 0; k < kEdits; ++k) ASSERT_TRUE(peer->Send(PlaceBrick(base + Tav::Vector3i(0, k, 0), 0, 0, 3)));
    std::set<int> shown;
    for (int k = 0; k < kEdits; ++k) shownBricks(ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA)), shown);
    server->Signal(SIGKILL);
    ASSERT_EQ(server->WaitExit(), 128 + SIGKILL);
    server.reset();
    peer.reset();
    ASSERT_EQ(shown.size(), static_cast<size_t>(kEdits)) << "every placement was shown";

    Begin();
    std::set<int> kept;
    ASSERT_TRUE(peer->Send(ChunkRequest({{0, 0, 0}, {0, 1, 0}, {0, 2, 0}, {0, 3, 0}})));
    shownBricks(ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA)), kept);
    EXPECT_EQ(kept, shown);
    End();
}

TEST_F(ChunkRoad, ADamagedRowDoesNotStopTheServer) {
    {
        Db db(folder.Path() / "world.db");
        db.Exec("create table mapdata(location TEXT PRIMARY KEY, data blob);");
        db.Exec("insert into mapdata values ('0,0,0', 'not a chunk');");
    }
    Begin();
    EXPECT_EQ(OriginNow(), Generated(0, 0, 0));
    // The answer came after the load, so the report is out already.
    bool reported = false;
    for (const std::string& line : server->Lines()) reported |= line.rfind("Cannot load chunk 0,0,0: ", 0) == 0;
    EXPECT_TRUE(reported) << server->Transcript();
    ASSERT_TRUE(peer->Send(ChunkRequest({{1, 0, 1}})));
    EXPECT_EQ(ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA)).size(), 1u);
    End();
    EXPECT_EQ(Db(folder.Path() / "world.db").Row("0,0,0"), std::optional<std::string>("not a chunk"));
}

}  // namespace
