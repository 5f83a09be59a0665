// A stop of the server while a client's edits and a design import are being
// stored and shown: the endpoint, the store and the chunks go in an order
// that no thread can overtake, whatever it still does (run under the thread
// sanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <chrono>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/GameMessages.h"
#include "core/server/Server.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/ProcessHarness.h"
#include "entities/EntityManager.h"
#include "entities/Player.h"
#include "scripting/ServerCommand.h"
#include "server/InProcessServer.h"
#include "world/BrickCatalogue.h"
#include "world/ChunkMessage.h"
#include "world/ChunkStoreCodec.h"
#include "world/DesignText.h"
#include "world/TerrainGenerator.h"
#include "world/sql/SqlDatabase.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Tav::Vector3i;

// An empty cell of chunk (0, 0, 0) on the studs of a generated brick, in
// world cells.
Vector3i SurfaceCell() {
    Tav::Chunk* chunk = Tav::AllocChunk();
    chunk->Init(0, 0, 0);
    Tav::TerrainGenerator::GenerateChunk(chunk);
    Vector3i found(0, 0, 0);
    bool any = false;
    for (int x = 0; x < 16 && !any; ++x)
        for (int z = 0; z < 16 && !any; ++z)
            for (int y = 1; y < 16 && !any; ++y) {
                const Tav::Cell& cell = chunk->cells[(y * 16 + z) * 16 + x];
                const Tav::BrickCell* below = Tav::CellTypeTable::Get(chunk->cells[((y - 1) * 16 + z) * 16 + x].typeIndex);
                if (cell.typeIndex == 0 && below && below->hasTopStuds) {
                    found = Vector3i(x - 8, y, z - 8);
                    any = true;
                }
            }
    Tav::FreeChunk(chunk);
    EXPECT_TRUE(any) << "no surface in chunk (0, 0, 0)";
    return found;
}

std::string Key(const Tav::ChunkDataEntry& e) {
    return std::to_string(e.cx) + "," + std::to_string(e.cy) + "," + std::to_string(e.cz);
}

class ShutdownRace : public TavTest::InProcessServer {};

TEST_F(ShutdownRace, AStopWhileEditsAndAnImportAreStoredLosesNothingShownAndRacesNothing) {
    TavTest::PortLock port;
    auto server = std::make_unique<Tav::Server>();
    server->Start();
    TavTest::RawClient client;
    ASSERT_TRUE(client.Connect());
    ASSERT_TRUE(client.WaitFor(Tav::ID_PLAYER_SPAWNED));
    const Net::Guid player = client.GetPeer()->GetMyGUID();
    const Vector3i at = SurfaceCell();

    // The client places and removes a brick over and over and keeps every
    // chunk message until its connection closes.
    std::map<std::string, std::set<std::vector<unsigned char>>> shown;
    std::atomic<int> messages{0};
    std::atomic<bool> closed{false};
    std::thread editor([&] {
        const auto end = Clock::now() + 60s;
        for (int k = 0; !closed && Clock::now() < end; ++k) {
            client.Send(k % 2 == 0 ? TavTest::PlaceBrick(at, 0, 0, 5) : TavTest::RemoveBrick(at));
            std::this_thread::sleep_for(1ms);
            client.Drain();
            for (const auto& r : client.All()) {
                if (r.taken) continue;
                if (r.data[0] == Net::ID_DISCONNECTION_NOTIFICATION) closed = true;
            }
            while (auto m = client.WaitFor(Tav::ID_CHUNK_DATA, 0ms)) {
                std::vector<Tav::ChunkDataEntry> entries;
                if (Tav::ReadChunkDataMessage(m->data(), m->size(), entries))
                    for (const auto& e : entries) shown[Key(e)].insert(e.cells);
                ++messages;
            }
        }
    });

    // A design import and its undo, over and over, as a console command
    // would make them, also once the server has stopped.
    const std::string design = TavTest::Base64Encode(TavTest::LxfmlDocument(
        TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,7.68,0.4") +
        TavTest::LxfmlBrickElement("3003", "1", "1,0,0,0,1,0,0,0,1,0.4,7.68,2")));
    std::atomic<bool> importing{true};
    std::atomic<int> imports{0};
    std::thread importer([&] {
        Tav::ServerCommandConnector connector("import", Tav::ServerCommand::SecurityLevel0, player);
        while (importing) {
            server->ImportBase64LXFML(connector, design);
            server->UndoImportLXFML(connector);
            ++imports;
        }
    });

    const auto busy = Clock::now() + 30s;
    while ((messages < 20 || imports < 10) && Clock::now() < busy) std::this_thread::sleep_for(1ms);
    EXPECT_GE(messages.load(), 20);
    EXPECT_GE(imports.load(), 10);

    const Tav::Server::StopReport report = server->Stop();
    EXPECT_TRUE(report.databaseClosed);
    EXPECT_EQ(report.chunksLost, 0u);
    EXPECT_FALSE(report.threadsLeft);
    // Imports go on after the stop, as from a thread that the stop does not
    // end; the test itself touches nothing that they use meanwhile.
    const int importsAtStop = imports.load();
    while (imports < importsAtStop + 20) std::this_thread::yield();
    importing = false;
    importer.join();
    editor.join();
    EXPECT_TRUE(closed.load()) << "the client was told that the server closed";
    // Players stay registered after a stop; the test gives its own back.
    if (Tav::Player* left = Tav::g_entityManager.FindPlayerByGuid(player)) Tav::g_entityManager.DeletePlayer(left);
    server.reset();

    std::map<std::string, std::vector<unsigned char>> rows;
    {
        Tav::SqlDatabase db;
        db.Open("world.db");
        std::vector<std::string> keys;
        for (Tav::SqlQuery q = db.ExecQuery("select location from mapdata;"); !q.Eof(); q.NextRow())
            keys.emplace_back(q.FieldValue(0));
        for (const std::string& key : keys) {
            int c[3] = {0, 0, 0};
            std::sscanf(key.c_str(), "%d,%d,%d", &c[0], &c[1], &c[2]);
            std::string error;
            Tav::LoadChunkRow(db, c[0], c[1], c[2], Tav::kStoredChunkRawLength, rows[key], error);
        }
    }

    // Every state that reached the client was stored: the last stored one
    // of each chunk it was shown is among what it was shown.
    ASSERT_FALSE(shown.empty());
    for (const auto& [key, states] : shown) {
        SCOPED_TRACE(key);
        ASSERT_EQ(rows.count(key), 1u);
        EXPECT_EQ(states.count(rows.at(key)), 1u);
    }
}

}  // namespace
