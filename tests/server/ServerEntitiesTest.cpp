// The server object in the test's own process: the spawn height over stored
// cells, and physics entities as a client on loopback sees them.
#include <gtest/gtest.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/GameMessages.h"
#include "core/server/Server.h"
#include "e2e/ProcessHarness.h"
#include "e2e/ReplicaClient.h"
#include "entities/EntityManager.h"
#include "entities/PhysicsEntity.h"
#include "entities/Player.h"
#include "net/LoopbackUdp.h"
#include "server/InProcessServer.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/ChunkStoreCodec.h"
#include "world/TerrainGenerator.h"
#include "world/sql/SqlDatabase.h"

namespace {

using namespace std::chrono_literals;

const double kRow = static_cast<double>(0.96f);

using TavTest::InProcessServer;

TEST_F(InProcessServer, SpawnHeightIsTheBottomOfTheLowestWindowHoldingACell) {
    // Each case has a 5 x 5 column of its own in chunk column (0, 0): x and z
    // from -8, -2 or 3, five cells wide.
    struct Case {
        const char* what;
        int slot;       // 0..8
        int groundTop;  // rows 0..groundTop filled under the whole box; -1 none
        bool cornerCellAtRow0;
        int boxRows;  // max y - min y of the box
        double height;
    };
    const Case cases[] = {
        {"flat ground at row 0", 0, 0, false, 3, 0.0},
        {"flat ground at row 40", 1, 40, false, 3, 40 * kRow},
        {"flat ground at row 76", 2, 76, false, 3, 76 * kRow},
        {"flat ground at row 77", 3, 77, false, 3, 76 * kRow},
        {"flat ground at row 79", 4, 79, false, 3, 76 * kRow},
        {"one cell at row 0 in a corner", 5, -1, true, 3, 0.0},
        {"an empty column", 6, -1, false, 3, -0.9599999785423279},
    };
    auto slotOrigin = [](int slot) {
        static const int starts[3] = {-8, -2, 3};
        return std::make_pair(starts[slot % 3], starts[slot / 3]);
    };
    std::set<std::tuple<int, int, int>> cells;
    for (const Case& c : cases) {
        const auto [x0, z0] = slotOrigin(c.slot);
        for (int x = x0; x < x0 + 5; ++x)
            for (int z = z0; z < z0 + 5; ++z)
                for (int y = 0; y <= c.groundTop; ++y) cells.insert({x, y, z});
        if (c.cornerCellAtRow0) cells.insert({x0 + 4, 0, z0});
    }
    const uint16_t brick = Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex;
    {
        Tav::SqlDatabase db;
        db.Open("world.db");
        db.ExecDml("create table mapdata(location TEXT PRIMARY KEY, data blob);");
        for (int cy = 0; cy <= 4; ++cy) {
            Tav::Chunk* chunk = Tav::AllocChunk();
            chunk->Init(0, cy, 0);
            for (const auto& [x, y, z] : cells)
                if (y / 16 == cy) chunk->SetCell(x + 8, y % 16, z + 8, brick, 1);
            Net::BitStream raw;
            chunk->Serialize(raw);
            Tav::StoreChunkRow(db, 0, cy, 0, raw.GetData(), raw.GetNumberOfBytesUsed());
            Tav::FreeChunk(chunk);
        }
    }

    // Only the chunk worker runs: it loads the stored column on request.
    Tav::Server server;
    server.GetChunker().Start();
    Tav::ChunkRequest request;
    for (int cy = 0; cy <= 4; ++cy) request.coordinates.push_back({0, cy, 0});
    server.GetChunker().QueueChunkRequest(request);
    ASSERT_TRUE(PollUntil([&] { return server.GetChunker().LoadedCount() >= 5; }));

    for (const Case& c : cases) {
        const auto [x0, z0] = slotOrigin(c.slot);
        EXPECT_EQ(server.FindSpawnHeight({x0, 0, z0}, {x0 + 4, c.boxRows, z0 + 4}), c.height) << c.what;
    }
    server.GetChunker().Stop();
}

// Takes every physics entity that is spawned while it is installed.
struct EntityCollector : Tav::IEntityListener {
    void PlayerAdded(Tav::Player*) override {}
    void PlayerRemoved(Tav::Player*) override {}
    void EntityAdded(Tav::PhysicsEntity* entity) override { added.push_back(entity); }
    void EntityRemoved(Tav::PhysicsEntity*) override {}
    std::vector<Tav::PhysicsEntity*> added;
};

TEST_F(InProcessServer, APhysicsEntityFallsAboveTheFirstPlayerAndReplicatesItsPose) {
    TavTest::PortLock port;
    EntityCollector collector;
    Tav::g_entityManager.SetListener(&collector);
    auto* server = new Tav::Server();
    server->Start();

    // Without a player nothing is spawned.
    server->SpawnPhysicsEntity();
    EXPECT_EQ(Tav::g_entityManager.GetEntityCount(), 0u);
    EXPECT_EQ(server->GetPhysicsManager().GetBodyCount(), 0);

    {
        TavTest::ReplicaClient client;
        ASSERT_TRUE(client.Connect());
        ASSERT_TRUE(client.Pump([&] { return client.Own() != nullptr && client.CountOf(131) > 0; }));
        const Tav::Vector3 player = client.Own()->constructed.motion.position;

        server->SpawnPhysicsEntity();  // from this thread, as a console command would
        ASSERT_EQ(collector.added.size(), 1u);
        EXPECT_EQ(server->GetPhysicsManager().GetBodyCount(), 1);

        const TavTest::SeenEntity* box = nullptr;
        ASSERT_TRUE(client.Pump([&] {
            box = client.FirstOfType("PhysicsEntity");
            return box && box->states.size() >= 4;
        }));
        EXPECT_EQ(box->guid, server->GetClient()->GetMyGUID());  // owned by the server
        // Spawned at height 30 above the player (it may have fallen a little
        // before its construction went out).
        EXPECT_EQ(box->constructed.motion.position.x, player.x);
        EXPECT_EQ(box->constructed.motion.position.z, player.z);
        EXPECT_LE(box->constructed.motion.position.y, 30.0);
        EXPECT_GT(box->constructed.motion.position.y, 25.0);

        // Every pose falls or stays, with no velocity and a unit rotation:
        // the start turn of 1.57 rad about (1, 1, 0) / sqrt 2.
        double lastY = box->constructed.motion.position.y;
        for (const TavTest::ReceivedState& s : box->states) {
            const Tav::MotionState& m = s.state.motion;
            EXPECT_LE(m.position.y, lastY);
            lastY = m.position.y;
            EXPECT_EQ(m.velocity, Tav::Vector3(0.0, 0.0, 0.0));
            const Tav::Quaternion& q = m.rotation;
            EXPECT_NEAR(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w, 1.0, 1e-6);
        }
        EXPECT_LT(lastY, box->constructed.motion.position.y);
        const Tav::Quaternion& q = box->states.back().state.motion.rotation;
        const double half = 0.5 * 1.57;
        EXPECT_NEAR(q.x, std::sin(half) / std::sqrt(2.0), 1e-6);
        EXPECT_NEAR(q.y, std::sin(half) / std::sqrt(2.0), 1e-6);
        EXPECT_NEAR(q.z, 0.0, 1e-6);
        EXPECT_NEAR(q.w, std::cos(half), 1e-6);
        client.Leave();
    }
    // The client's player goes with its connection.
    ASSERT_TRUE(PollUntil([] { return Tav::g_entityManager.GetPlayerCount() == 0; }));

    EXPECT_TRUE(server->Stop());
    EXPECT_EQ(server->GetPhysicsManager().GetBodyCount(), 0);
    delete server;
    Tav::g_entityManager.SetListener(nullptr);
    // Physics entities stay registered after the server stops; the test
    // gives its own back.
    for (Tav::PhysicsEntity* entity : collector.added) delete entity;
    EXPECT_EQ(Tav::g_entityManager.GetEntityCount(), 0u);
}

// A UDP relay on loopback between one client and the server, which can drop
// every datagram of the server to the client.
class LossyRelay {
public:
    explicit LossyRelay(uint16_t serverPort) {
        front_ = TavTest::BindLoopbackUdp();
        back_ = TavTest::BindLoopbackUdp();
        sockaddr_in server = TavTest::LoopbackAddress(serverPort);
        if (::connect(back_, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0)
            throw std::runtime_error("relay: connect failed");
        thread_ = std::thread([this] { Run(); });
    }
    ~LossyRelay() {
        stop_ = true;
        thread_.join();
        ::close(front_);
        ::close(back_);
    }
    uint16_t Port() const {
        sockaddr_in a{};
        socklen_t n = sizeof a;
        ::getsockname(front_, reinterpret_cast<sockaddr*>(&a), &n);
        return ntohs(a.sin_port);
    }

    std::atomic<bool> dropToClient{false};
    std::atomic<int> dropped{0};

private:
    void Run() {
        char buffer[65536];
        sockaddr_in client{};
        bool haveClient = false;
        while (!stop_) {
            pollfd fds[2] = {{front_, POLLIN, 0}, {back_, POLLIN, 0}};
            if (::poll(fds, 2, 5) <= 0) continue;
            if (fds[0].revents & POLLIN) {
                socklen_t n = sizeof client;
                const ssize_t got = ::recvfrom(front_, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&client), &n);
                haveClient = true;
                if (got > 0) ::send(back_, buffer, static_cast<size_t>(got), 0);
            }
            if (fds[1].revents & POLLIN) {
                const ssize_t got = ::recv(back_, buffer, sizeof buffer, 0);
                if (got <= 0 || !haveClient) continue;
                if (dropToClient) {
                    ++dropped;
                    continue;
                }
                ::sendto(front_, buffer, static_cast<size_t>(got), 0, reinterpret_cast<sockaddr*>(&client), sizeof client);
            }
        }
    }

    int front_ = -1;
    int back_ = -1;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// The one serialisation that carries a changed inventory is not lost with
// its datagram: the client still learns the new counts.
TEST_F(InProcessServer, AnInventoryChangeSurvivesALostDatagram) {
    TavTest::PortLock port;
    auto* server = new Tav::Server();
    server->Start();
    {
        LossyRelay relay(Tav::kServerPort);
        TavTest::ReplicaClient client;
        ASSERT_TRUE(client.Connect(30s, relay.Port()));
        ASSERT_TRUE(client.WaitForOwnPlayer());
        const TavTest::SeenEntity* own = client.Own();
        auto total = [](const std::vector<int32_t>& counts) {
            int64_t sum = 0;
            for (int32_t c : counts) sum += c;
            return sum;
        };
        ASSERT_EQ(total(own->states.back().counts), 5 * 10000);

        // A cell of a generated brick near the spawn, whose removal gives one back.
        Tav::Chunk* chunk = Tav::AllocChunk();
        chunk->Init(0, 0, 0);
        Tav::TerrainGenerator::GenerateChunk(chunk);
        Tav::Vector3i cell(0, -1, 0);
        for (int i = 0; i < Tav::kChunkCells && cell.y < 0; ++i) {
            const int x = i % 16, z = (i / 16) % 16, y = i / 256;
            if (Tav::CellTypeTable::Get(chunk->GetCell(x, y, z).typeIndex)) cell = Tav::Vector3i(x - 8, y, z - 8);
        }
        Tav::FreeChunk(chunk);
        ASSERT_GE(cell.y, 0);

        // Everything the server sends is lost until its player has written
        // the changed inventory and two more datagrams have been dropped.
        relay.dropToClient = true;
        Net::BitStream remove;
        remove.Write(static_cast<uint8_t>(Tav::ID_REMOVE_BRICK));
        remove.Write(cell.x);
        remove.Write(cell.y);
        remove.Write(cell.z);
        ASSERT_TRUE(client.Send(remove));
        ASSERT_TRUE(PollUntil([&] {
            Tav::PlayerRef player = Tav::g_entityManager.FindPlayerRefByGuid(client.MyGuid());
            if (!player) return false;
            std::lock_guard<std::mutex> lock(player->mutex);
            int64_t sum = 0;
            for (const auto& slot : player->inventory.slots) sum += slot.count;
            return sum == 5 * 10000 + 1 && !player->inventory.changed;
        }));
        const int droppedBefore = relay.dropped.load();
        ASSERT_TRUE(PollUntil([&] { return relay.dropped.load() >= droppedBefore + 2; }));
        relay.dropToClient = false;

        EXPECT_TRUE(client.Pump([&] { return total(own->states.back().counts) == 5 * 10000 + 1; }, 20s))
            << "the new counts never arrived";
        client.Leave();
    }
    ASSERT_TRUE(PollUntil([] { return Tav::g_entityManager.GetPlayerCount() == 0; }));
    EXPECT_TRUE(server->Stop());
    delete server;
}

}  // namespace
