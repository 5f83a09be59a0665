// Design imports through the server's script methods: where a player's
// design lands, what every peer receives, what is stored, and the undo.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <limits>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/GameMessages.h"
#include "core/server/DesignImport.h"
#include "core/server/Server.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/ProcessHarness.h"
#include "e2e/ReplicaClient.h"
#include "entities/EntityManager.h"
#include "entities/Player.h"
#include "scripting/ServerCommand.h"
#include "world/BrickCatalogue.h"
#include "world/ChunkMessage.h"
#include "world/ChunkStoreCodec.h"
#include "world/ChunkDataCells.h"
#include "world/DesignText.h"
#include "world/TerrainGenerator.h"
#include "world/sql/SqlDatabase.h"

namespace {

using namespace std::chrono_literals;
using Tav::Vector3;
using Tav::Vector3i;
using TavTest::CellIn;

// A design whose box is (0, 0, 0) to (1, 1, 1).
Tav::LxfmlDesign UnitBoxDesign()
{
    Tav::LxfmlDesign d;
    d.maxX = d.maxY = d.maxZ = 1;
    return d;
}

TEST(DesignOriginBeside, PlacesTheDesignBehindThePlayer)
{
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const struct {
        const char* what;
        Vector3 position;
        Vector3 facing;
        Vector3i origin;
    } cases[] = {
        {"the worked example", {10.0, 4.8, 20.0}, {0.0, 0.3, 1.0}, {12, 5, 11}},
        {"x -3.0 facing +x truncates toward zero", {-3.0, 4.8, 20.0}, {1.0, 0.0, 0.0}, {-17, 5, 25}},
        {"facing straight up: the player's own cell", {10.0, 4.8, 20.0}, {0.0, 1.0, 0.0}, {12, 5, 25}},
        {"no facing yet", {-10.0, -4.8, -20.0}, {0.0, 0.0, 0.0}, {-12, -5, -25}},
        {"a facing that is no number", {10.0, 4.8, 20.0}, {nan, 0.0, 1.0}, {12, 5, 25}},
        {"beyond 32 bits: clamped", {1e300, -1e300, 0.0}, {0.0, 0.0, 0.0}, {2147483647, -2147483647 - 1, 0}},
    };
    for (const auto& c : cases) EXPECT_EQ(Tav::DesignOriginBeside(c.position, c.facing, UnitBoxDesign()), c.origin) << c.what;

    // The footprint's diagonal counts, the height does not: a design 3 cells
    // wide and 4 deep reaches 4.0 units + 10 from the player.
    Tav::LxfmlDesign wide;
    wide.minX = -1;
    wide.maxX = 2;
    wide.maxY = 50;
    wide.maxZ = 4;
    EXPECT_EQ(Tav::DesignOriginBeside({0.0, 0.0, 0.0}, {-1.0, 0.0, 0.0}, wide), Vector3i(17, 0, 0));
}

// A real server in a temporary working folder, on the port under the lock,
// with two clients that have their players.
class DesignImportTest : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        Tav::BrickCatalogue::Build();
        Tav::TerrainGenerator::PrepareShapeTables();
    }
    void SetUp() override
    {
        previous_ = std::filesystem::current_path();
        dir_ = std::filesystem::temp_directory_path() /
               ("tav-design-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(dir_);
        std::filesystem::current_path(dir_);
        port_ = std::make_unique<TavTest::PortLock>();
        server_ = std::make_unique<Tav::Server>();
        server_->Start();
        for (auto& c : clients_) {
            c = std::make_unique<TavTest::ReplicaClient>();
            ASSERT_TRUE(c->Connect());
        }
        for (auto& c : clients_) ASSERT_TRUE(c->Pump([&] { return c->CountOf(Tav::ID_PLAYER_SPAWNED) > 0; }));
        for (size_t i = 0; i < 2; ++i) seen_[i] = clients_[i]->CountOf(Tav::ID_CHUNK_DATA);
    }
    void TearDown() override
    {
        for (auto& c : clients_)
            if (c) c->Leave();
        PollUntil([] { return Tav::g_entityManager.GetPlayerCount() == 0; });
        if (server_) {
            EXPECT_TRUE(server_->Stop());
        }
        server_.reset();
        clients_[0].reset();
        clients_[1].reset();
        port_.reset();
        std::filesystem::current_path(previous_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    template <class Pred>
    static bool PollUntil(Pred pred, std::chrono::milliseconds deadline = 30s)
    {
        const auto end = std::chrono::steady_clock::now() + deadline;
        while (!pred()) {
            if (std::chrono::steady_clock::now() >= end) return false;
            std::this_thread::sleep_for(1ms);
        }
        return true;
    }

    Tav::ServerCommandConnector As(int client)
    {
        return Tav::ServerCommandConnector("design", Tav::ServerCommand::SecurityLevel0, clients_[client]->MyGuid());
    }
    Tav::PlayerState StateOf(int client)
    {
        Tav::PlayerRef player = Tav::g_entityManager.FindPlayerRefByGuid(clients_[client]->MyGuid());
        EXPECT_TRUE(player);
        return player ? player->CopyPlayerState(false) : Tav::PlayerState();
    }
    Tav::Cell CellAt(const Vector3i& w)
    {
        Tav::ServerChunker::EditScope edit(server_->GetChunker());
        int index = 0;
        const Tav::Chunk* chunk = edit.FindCell(w, index);
        EXPECT_NE(chunk, nullptr) << w.ToString();
        return chunk ? chunk->cells[index] : Tav::Cell{};
    }

    // The chunk-data messages that each client has received since the last
    // call, decoded, once both have a message for which done holds, at
    // least atLeast messages on.
    using Entries = std::vector<Tav::ChunkDataEntry>;
    std::vector<std::vector<Entries>> NewChunkData(const std::function<bool(const Entries&)>& done,
                                                   size_t atLeast = 1)
    {
        std::vector<std::vector<Entries>> out(2);
        for (size_t i = 0; i < 2; ++i) {
            TavTest::ReplicaClient& c = *clients_[i];
            const bool ok = c.Pump([&] {
                const auto messages = c.MessagesWithId(Tav::ID_CHUNK_DATA);
                for (size_t m = seen_[i] + atLeast - 1; m < messages.size(); ++m) {
                    Entries e;
                    if (!Tav::ReadChunkDataMessage(messages[m].data.data(), messages[m].data.size(), e)) continue;
                    if (done(e)) return true;
                }
                return false;
            });
            EXPECT_TRUE(ok) << "client " << i << " did not get the message";
            const auto messages = c.MessagesWithId(Tav::ID_CHUNK_DATA);
            for (size_t m = seen_[i]; m < messages.size(); ++m) {
                Entries e;
                EXPECT_TRUE(Tav::ReadChunkDataMessage(messages[m].data.data(), messages[m].data.size(), e));
                out[i].push_back(e);
            }
            seen_[i] = messages.size();
        }
        return out;
    }
    static bool IsEmptyMessage(const Entries& e) { return e.empty(); }


    // The world cell of the first cell of a one-brick design imported by
    // the client as it stands now.
    Vector3i PlacedAt(int client, const std::string& brickElement)
    {
        Tav::LxfmlDesign design;
        Tav::ParseLxfml(TavTest::LxfmlDocument(brickElement), Vector3i(), design);
        EXPECT_EQ(design.bricks.size(), 1u);
        if (design.bricks.empty()) return Vector3i();
        const Tav::PlayerState player = StateOf(client);
        const Tav::LxfmlBrick& b = design.bricks[0];
        return Tav::DesignOriginBeside(player.motion.position, player.facing, design) + Vector3i(b.x, b.y, b.z);
    }

    std::vector<unsigned char> StoredCells(const Vector3i& chunk)
    {
        Tav::SqlDatabase db;
        db.Open("world.db");
        std::vector<unsigned char> raw;
        std::string error;
        Tav::LoadChunkRow(db, chunk.x, chunk.y, chunk.z, Tav::kStoredChunkRawLength, raw, error);
        return raw;
    }

    std::filesystem::path previous_;
    std::filesystem::path dir_;
    std::unique_ptr<TavTest::PortLock> port_;
    std::unique_ptr<Tav::Server> server_;
    std::unique_ptr<TavTest::ReplicaClient> clients_[2];
    size_t seen_[2] = {0, 0};
};

TEST_F(DesignImportTest, AnImportLandsBesideItsPlayerEveryPeerSeesItAndTheUndoTakesItOut)
{
    // Three bricks high above the player's own cell (its facing is still
    // zero), in free air.
    const std::string text = TavTest::LxfmlDocument(
        TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,7.68,0.4") +
        TavTest::LxfmlBrickElement("3003", "1", "1,0,0,0,1,0,0,0,1,0.4,7.68,2") +
        TavTest::LxfmlBrickElement("3004", "199", "0,0,1,0,1,0,-1,0,0,0.4,8.64,0.4"));
    Tav::LxfmlDesign design;
    ASSERT_EQ(Tav::ParseLxfml(text, Vector3i(), design), Tav::LxfmlResult::Parsed);
    ASSERT_EQ(design.bricks.size(), 3u);
    const Tav::PlayerState player = StateOf(0);
    const Vector3i origin = Tav::DesignOriginBeside(player.motion.position, player.facing, design);
    std::vector<Vector3i> cells;
    for (const Tav::LxfmlBrick& b : design.bricks)
        for (const Tav::BrickCell* c : b.shape->cells) {
            cells.push_back(origin + Vector3i(b.x + c->dx, b.y + c->dy, b.z + c->dz));
            ASSERT_EQ(CellAt(cells.back()).typeIndex, 0) << "the fixture needs free cells";
        }

    auto importer = As(0);
    EXPECT_EQ(server_->ImportBase64LXFML(importer, TavTest::Base64Encode(text)),
              "3 of 3 bricks placed beside the sender's player");
    const auto imported = NewChunkData([&](const Entries& e) { return !e.empty(); });
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(imported[i].size(), 1u) << "one message for client " << i;
        const Entries& entries = imported[i][0];
        size_t k = 0;
        for (const Tav::LxfmlBrick& b : design.bricks)
            for (const Tav::BrickCell* c : b.shape->cells) {
                Tav::Cell cell;
                ASSERT_TRUE(CellIn(entries, cells[k++], cell));
                EXPECT_EQ(cell.typeIndex, c->typeIndex);
                EXPECT_EQ(cell.colour, b.colour);
            }
        // What was sent is what was stored.
        for (const Tav::ChunkDataEntry& e : entries) EXPECT_EQ(StoredCells({e.cx, e.cy, e.cz}), e.cells);
    }

    // Another player's undo does not touch the design and sends nothing; the
    // importer's undo takes it out; a second one removes nothing and still
    // tells every peer, with no chunk.
    auto other = As(1);
    EXPECT_EQ(server_->UndoImportLXFML(other), "Nothing taken out: the sender has no design to take out");
    EXPECT_EQ(CellAt(cells[0]).typeIndex, design.bricks[0].shape->cells[0]->typeIndex);
    EXPECT_EQ(server_->UndoImportLXFML(importer), "3 of 3 bricks of the sender's last design taken out");
    EXPECT_EQ(server_->UndoImportLXFML(importer), "Nothing taken out: the sender has no design to take out");
    const auto undone = NewChunkData(IsEmptyMessage);
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(undone[i].size(), 2u) << "client " << i;
        for (const Vector3i& w : cells) {
            Tav::Cell cell;
            ASSERT_TRUE(CellIn(undone[i][0], w, cell));
            EXPECT_EQ(cell.typeIndex, 0);
            EXPECT_EQ(cell.colour, 255);
        }
        EXPECT_TRUE(undone[i][1].empty());
        for (const Tav::ChunkDataEntry& e : undone[i][0]) EXPECT_EQ(StoredCells({e.cx, e.cy, e.cz}), e.cells);
    }
    {
        std::lock_guard<std::mutex> lock(server_->importMutex);
        ASSERT_EQ(server_->importUndo.count(clients_[0]->MyGuid()), 1u);  // the key stays
        EXPECT_TRUE(server_->importUndo[clients_[0]->MyGuid()].design.bricks.empty());
        EXPECT_EQ(server_->importUndo.count(clients_[1]->MyGuid()), 0u);
    }
}

TEST_F(DesignImportTest, TheRecordOfAPlayerThatHasLeftGoesWithTheNextImport)
{
    // A host that connects under ever new GUIDs and imports each time must
    // not grow the records without bound.
    const std::string text = TavTest::Base64Encode(TavTest::LxfmlDocument(
        TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,9.6,0.4")));
    auto leaver = As(1);
    server_->ImportBase64LXFML(leaver, text);
    {
        std::lock_guard<std::mutex> lock(server_->importMutex);
        ASSERT_EQ(server_->importUndo.count(clients_[1]->MyGuid()), 1u);
    }
    const Net::Guid left = clients_[1]->MyGuid();
    clients_[1]->Leave();
    clients_[1].reset();
    ASSERT_TRUE(PollUntil([] { return Tav::g_entityManager.GetPlayerCount() == 1; }));

    auto stayer = As(0);
    server_->ImportBase64LXFML(stayer, text);
    std::lock_guard<std::mutex> lock(server_->importMutex);
    EXPECT_EQ(server_->importUndo.count(left), 0u);
    EXPECT_EQ(server_->importUndo.count(clients_[0]->MyGuid()), 1u);
}

TEST_F(DesignImportTest, WhatIsNoDesignStillTellsEveryPeerAndASenderWithoutPlayerGetsNothing)
{
    // A first import, to be replaced.
    auto importer = As(0);
    const std::string brick = TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,9.6,0.4");
    server_->ImportBase64LXFML(importer, TavTest::Base64Encode(TavTest::LxfmlDocument(brick)));
    NewChunkData([](const Entries& e) { return !e.empty(); });
    const Vector3i first = PlacedAt(0, brick);
    ASSERT_NE(CellAt(first).typeIndex, 0);

    // The console's sender has no player: nothing at all. Garbage, an
    // unfinished document and an oversized text are designs without bricks:
    // each sends a message with no chunk and replaces the undo record.
    Tav::ServerCommandConnector console("design", Tav::ServerCommand::SecurityLevel0,
                                        server_->GetClient()->GetMyGUID());
    EXPECT_EQ(server_->ImportBase64LXFML(console, TavTest::Base64Encode(TavTest::LxfmlDocument(brick))),
              "No design placed: the sender has no player");
    EXPECT_EQ(server_->UndoImportLXFML(console), "Nothing taken out: the sender has no player");
    EXPECT_EQ(server_->ImportBase64LXFML(importer, "not base64 at all!"), "No design placed: it is not well-formed XML");
    EXPECT_EQ(server_->ImportBase64LXFML(importer, TavTest::Base64Encode("<LXFML><Bricks>" + brick)),
              "No design placed: it is not well-formed XML");
    EXPECT_EQ(server_->ImportBase64LXFML(importer, std::string(12 * 1024 * 1024, 'A')),
              "No design placed: it has more than 4194304 bytes of XML");
    {
        std::lock_guard<std::mutex> lock(server_->importMutex);
        EXPECT_TRUE(server_->importUndo[clients_[0]->MyGuid()].design.bricks.empty());
        EXPECT_EQ(server_->importUndo.count(server_->GetClient()->GetMyGUID()), 0u);
    }
    // The test design closes the sequence: one 1 x 1 brick at (16, 16, 0).
    ASSERT_EQ(CellAt({16, 16, 0}).typeIndex, 0) << "the fixture needs a free cell";
    std::ofstream("test.lxfml") << TavTest::LxfmlDocument(
        TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,0,0.4"));
    EXPECT_EQ(server_->ImportTestLXFML(), "1 of 1 brick of the test design placed at the cell (16, 16, 0)");
    const auto received = NewChunkData([](const Entries& e) { return !e.empty(); });
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(received[i].size(), 4u) << "client " << i;
        for (size_t m = 0; m < 3; ++m) EXPECT_TRUE(received[i][m].empty());
        Tav::Cell cell;
        ASSERT_TRUE(CellIn(received[i][3], {16, 16, 0}, cell));
        EXPECT_EQ(cell.typeIndex, Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex);
    }

    // The first design can no longer be undone: the undo of the empty record
    // removes nothing (a message with no chunk); so does the test import
    // without its file. The other player's import closes this sequence.
    EXPECT_EQ(server_->UndoImportLXFML(importer), "Nothing taken out: the sender has no design to take out");
    std::filesystem::remove("test.lxfml");
    EXPECT_EQ(server_->ImportTestLXFML(), "No test design placed: test.lxfml cannot be read");
    auto other = As(1);
    const std::string higher = TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,13.44,0.4");
    EXPECT_EQ(server_->ImportBase64LXFML(other, TavTest::Base64Encode(TavTest::LxfmlDocument(higher))),
              "1 of 1 brick placed beside the sender's player");
    const auto after = NewChunkData([](const Entries& e) { return !e.empty(); });
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(after[i].size(), 3u) << "client " << i;
        EXPECT_TRUE(after[i][0].empty());
        EXPECT_TRUE(after[i][1].empty());
    }
    EXPECT_NE(CellAt(first).typeIndex, 0);
}

// A client is shown an import only once it is stored: a failed store shows
// nothing of it, the server stores it again once it can and shows it then,
// and it stays undoable meanwhile.
TEST_F(DesignImportTest, AnImportWhoseStoreFailsIsShownOnceStoredAndStaysUndoable)
{
    {
        Tav::SqlDatabase db;
        db.Open("world.db");
        db.ExecDml("drop table mapdata;");
    }
    auto importer = As(0);
    const std::string text = TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,9.6,0.4");
    testing::internal::CaptureStdout();
    // What is known when the method returns: the brick is in the world.
    EXPECT_EQ(server_->ImportBase64LXFML(importer, TavTest::Base64Encode(TavTest::LxfmlDocument(text))),
              "1 of 1 brick placed beside the sender's player");
    server_->GetChunker().AwaitStores();  // the store thread reports the failure
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("Cannot store chunk"), std::string::npos) << out;
    const Vector3i brick = PlacedAt(0, text);
    EXPECT_NE(CellAt(brick).typeIndex, 0);  // in the world, not on disk
    const auto failed = NewChunkData(IsEmptyMessage);
    for (size_t i = 0; i < 2; ++i) EXPECT_TRUE(IsEmptyMessage(failed[i].back())) << "client " << i;

    // Once the store works again the worker stores the import and shows it.
    {
        Tav::SqlDatabase db;
        db.Open("world.db");
        db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);");
    }
    const auto shown = NewChunkData([&](const Entries& e) {
        Tav::Cell cell;
        return CellIn(e, brick, cell) && cell.typeIndex != 0;
    });
    for (size_t i = 0; i < 2; ++i) EXPECT_FALSE(shown[i].empty()) << "client " << i;

    // The undo takes the brick out and is shown.
    EXPECT_EQ(server_->UndoImportLXFML(importer), "1 of 1 brick of the sender's last design taken out");
    const auto undone = NewChunkData([](const Entries&) { return true; });
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(undone[i].size(), 1u) << "client " << i;
        Tav::Cell cell;
        ASSERT_TRUE(CellIn(undone[i][0], brick, cell));
        EXPECT_EQ(cell.typeIndex, 0);
    }
    EXPECT_EQ(CellAt(brick).typeIndex, 0);
}

// A design that reaches beyond the loaded chunks: the answer tells what
// landed, and what landed only in part.
TEST_F(DesignImportTest, AnImportTellsHowMuchOfItLanded)
{
    // The player has no facing yet: the design's cell (0, 0, 0) lies at the
    // player's own cell, whatever the design.
    const Tav::PlayerState player = StateOf(0);
    const Vector3i o = Tav::DesignOriginBeside(player.motion.position, player.facing, Tav::LxfmlDesign());
    // Chunk x 1 holds cells 8 to 23, chunk x 2 (24 to 39) is not loaded: a
    // 2 x 2 over cells 23 and 24, and a 1 x 1 at cell 40, in free air.
    const Vector3i twoByTwo(23, 40, 0), far(40, 40, 0);
    auto at = [&](const Vector3i& cell, double offsetZ) {
        char position[96];
        std::snprintf(position, sizeof position, "1,0,0,0,1,0,0,0,1,%.4f,%.4f,%.4f", (cell.x - o.x) * 0.8 + 0.4,
                      (cell.y - o.y) * 0.96, (cell.z - o.z) * 0.8 + offsetZ);
        return std::string(position);
    };
    const std::string text = TavTest::LxfmlDocument(TavTest::LxfmlBrickElement("3003", "21", at(twoByTwo, 1.2)) +
                                                    TavTest::LxfmlBrickElement("3005", "21", at(far, 0.4)));
    ASSERT_EQ(CellAt(twoByTwo).typeIndex, 0) << "the test needs a free cell";
    {
        Tav::ServerChunker::EditScope edit(server_->GetChunker());
        int index = 0;
        ASSERT_EQ(edit.FindCell(twoByTwo + Vector3i(1, 0, 0), index), nullptr) << "the test needs chunk x 2 unloaded";
    }
    auto importer = As(0);
    EXPECT_EQ(server_->ImportBase64LXFML(importer, TavTest::Base64Encode(text)),
              "1 of 2 bricks placed beside the sender's player (1 of them only in part: the rest lies in chunks that "
              "are not loaded)");
    EXPECT_NE(CellAt(twoByTwo).typeIndex, 0);
    EXPECT_EQ(server_->UndoImportLXFML(importer), "1 of 2 bricks of the sender's last design taken out");
    EXPECT_EQ(CellAt(twoByTwo).typeIndex, 0);
}

// The operator's own design is no client's: a real design beyond the client
// limits, 30 000 bricks in about 5 MiB, is placed whole, every peer sees it,
// and the server serves on.
TEST_F(DesignImportTest, ALargeTestDesignIsPlacedWhole)
{
    // Rows 40 to 53 of the chunks loaded around the spawn (cells -24 to 23
    // on x and z), above the terrain; the design lands at (16, 16, 0).
    std::vector<Vector3i> cells;
    for (int32_t i = 0; i < 30000; ++i) cells.emplace_back(i % 48 - 24, i / 2304 + 40, i / 48 % 48 - 24);
    std::vector<Vector3i> designCells;
    for (const Vector3i& w : cells) {
        ASSERT_EQ(CellAt(w).typeIndex, 0) << "the test needs free cells: " << w.ToString();
        designCells.push_back(w - Vector3i(16, 16, 0));
    }
    const std::string text = TavTest::ToolStyleLxfmlDocument(designCells);
    ASSERT_GT(text.size(), 5u * 1000u * 1000u);
    std::ofstream("test.lxfml", std::ios::binary) << text;

    EXPECT_EQ(server_->ImportTestLXFML(), "30000 of 30000 bricks of the test design placed at the cell (16, 16, 0)");
    const uint16_t brick = Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex;
    for (const Vector3i& w : cells) ASSERT_EQ(CellAt(w).typeIndex, brick) << w.ToString();
    const auto shown = NewChunkData([](const Entries& e) { return !e.empty(); });
    for (size_t i = 0; i < 2; ++i) {
        ASSERT_EQ(shown[i].size(), 1u) << "client " << i;
        for (const Vector3i& w : cells) {
            Tav::Cell cell;
            ASSERT_TRUE(CellIn(shown[i][0], w, cell)) << w.ToString();
            ASSERT_EQ(cell.typeIndex, brick) << w.ToString();
        }
    }
    // A client's chunk request is answered as ever.
    ASSERT_TRUE(clients_[1]->Send(TavTest::ChunkRequest({{0, 0, 0}})));
    EXPECT_TRUE(clients_[1]->Pump([&] {
        const auto messages = clients_[1]->MessagesWithId(Tav::ID_CHUNK_DATA);
        Entries e;
        return messages.size() > seen_[1] &&
               Tav::ReadChunkDataMessage(messages.back().data.data(), messages.back().data.size(), e) &&
               e.size() == 1 && Vector3i(e[0].cx, e[0].cy, e[0].cz) == Vector3i(0, 0, 0);
    }));
}

// Designs built to hurt: each is refused or lands nowhere, every peer hears
// of it with an empty message, and the server goes on serving.
TEST_F(DesignImportTest, HostileDesignsLeaveTheServerServing)
{
    auto repeat = [](const std::string& piece, size_t n) {
        std::string out;
        out.reserve(piece.size() * n);
        for (size_t i = 0; i < n; ++i) out += piece;
        return out;
    };
    std::mt19937 random(11);
    std::string garbage(1 << 16, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    std::string far;
    for (const char* x : {"1e12", "-1e300", "1e400", "1717986944"})
        far += TavTest::LxfmlBrickElement("3005", "21", std::string("1,0,0,0,1,0,0,0,1,") + x + ",0,0.4");
    const std::string manyFar = repeat(
        TavTest::LxfmlBrickElement("3001", "21", "1,0,0,0,1,0,0,0,1,-8e11,0,0.4"), Tav::kMaxLxfmlBricks);

    const std::string noBricks = "No design placed: it has no bricks to place";
    const std::vector<std::pair<std::string, std::string>> designs = {
        {"<LXFML>" + repeat("<Brick/>", Tav::kMaxLxfmlBricks + 1) + "</LXFML>",
         "No design placed: it has more than 20000 bricks"},
        {repeat("<Brick>", 4000) + repeat("</Brick>", 4000), "No design placed: its bricks are nested too deeply"},
        {repeat("<a>", 300000) + repeat("</a>", 300000), noBricks},  // deep
        {garbage, "No design placed: it is not well-formed XML"},
        {TavTest::LxfmlDocument(far), noBricks},
        {TavTest::LxfmlDocument(manyFar), noBricks},
        // One brick, at the design's own cell: in the ground under the player.
        {TavTest::LxfmlDocument(TavTest::LxfmlBrickElement("3005", "21", repeat(",", 1 << 20) + "1")),
         "0 of 1 brick placed beside the sender's player"},
    };
    auto importer = As(0);
    for (const auto& d : designs)
        EXPECT_EQ(server_->ImportBase64LXFML(importer, TavTest::Base64Encode(d.first)), d.second);

    // The other client asks for a chunk: the answer follows the empty messages.
    ASSERT_TRUE(clients_[1]->Send(TavTest::ChunkRequest({{0, 0, 0}})));
    const auto received = NewChunkData([](const Entries&) { return true; }, designs.size());
    ASSERT_EQ(received[0].size(), designs.size());
    for (const Entries& e : received[0]) EXPECT_TRUE(e.empty());
    ASSERT_TRUE(clients_[1]->Pump([&] {
        const auto messages = clients_[1]->MessagesWithId(Tav::ID_CHUNK_DATA);
        Entries e;
        return messages.size() > designs.size() &&
               Tav::ReadChunkDataMessage(messages.back().data.data(), messages.back().data.size(), e) &&
               e.size() == 1 && Vector3i(e[0].cx, e[0].cy, e[0].cz) == Vector3i(0, 0, 0);
    }));
}

}  // namespace
