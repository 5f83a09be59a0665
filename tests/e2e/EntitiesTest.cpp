// Players as clients meet them: the real server binary, clients of the test
// on loopback that decode what the server replicates, and the world.db that
// the server keeps in its working folder.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/GameMessages.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/ProcessHarness.h"
#include "e2e/ReplicaClient.h"
#include "e2e/StoredWorld.h"
#include "entities/Player.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/ChunkMessage.h"
#include "world/ChunkStoreCodec.h"
#include "world/IBoxOccupancy.h"
#include "world/TerrainGenerator.h"
#include "world/sql/SqlDatabase.h"

namespace {

using TavTest::ChunkRequest;
using TavTest::InputMessage;
using TavTest::PlaceBrick;
using TavTest::RemoveBrick;
using TavTest::ReplicaClient;
using TavTest::SeenEntity;
using TavTest::ServerProcess;
using TavTest::WorkFolder;

const double kRow = static_cast<double>(0.96f);
constexpr int32_t kSpawnGrant = 10000;

uint16_t OneByOneIndex() { return Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex; }

// A world of chosen cells in the chunks that the spawn preloads (x and z
// chunks -1 to 1, all five layers), every other cell of them empty. It is
// stored in world.db before the server starts, and it is also the occupancy
// of the test's own player, which moves by the same rules.
struct DesignedWorld : Tav::IBoxOccupancy {
    void Fill(int x0, int x1, int y0, int y1, int z0, int z1) {
        for (int x = x0; x <= x1; ++x)
            for (int y = y0; y <= y1; ++y)
                for (int z = z0; z <= z1; ++z) cells.insert({x, y, z});
    }
    bool IsBoxOccupied(const Tav::Vector3i& min, const Tav::Vector3i& max) override {
        if (min.y < 0) return true;
        for (const auto& [x, y, z] : cells)
            if (x >= min.x && x <= max.x && y >= min.y && y <= max.y && z >= min.z && z <= max.z) return true;
        return false;
    }
    void Store(const std::filesystem::path& file) const { TavTest::StoreSpawnWorld(file, cells); }
    std::set<std::tuple<int, int, int>> cells;
};

// The cell-type index of a world cell in chunk (0, 0, 0) of a chunk-data
// message, or -1 when the message does not carry that chunk.
int OriginCell(const std::vector<unsigned char>& message, const Tav::Vector3i& cell) {
    std::vector<Tav::ChunkDataEntry> entries;
    if (!Tav::ReadChunkDataMessage(message.data(), message.size(), entries)) return -1;
    for (const auto& e : entries)
        if (e.cx == 0 && e.cy == 0 && e.cz == 0) {
            // Serialised order: x outermost, then y, then z.
            const size_t at = 3 * static_cast<size_t>(((cell.x + 8) * 16 + cell.y) * 16 + cell.z + 8);
            return (e.cells[at] << 8) | e.cells[at + 1];
        }
    return -1;
}

class Entities : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Tav::BrickCatalogue::Build();
        Tav::TerrainGenerator::PrepareShapeTables();
        Tav::SimplexNoise::InitPermutations();
    }

    void StartServer() {
        server.emplace(folder);
        ASSERT_TRUE(server->WaitForLine("Starting server...")) << server->Transcript();
        ASSERT_TRUE(server->WaitUntilListening()) << server->Transcript();
    }
    void StopServer() {
        ASSERT_TRUE(server->WriteLine("exit"));
        EXPECT_EQ(server->WaitExit(), 0) << server->Transcript();
        EXPECT_EQ(server->SanitizerReport(), "");
        server.reset();
    }
    // Connects and waits for the spawn notice and the own player's first
    // serialisation.
    void Join(ReplicaClient& client) {
        ASSERT_TRUE(client.Connect()) << server->Transcript();
        ASSERT_TRUE(client.WaitForOwnPlayer()) << server->Transcript();
    }
    // An empty cell of chunk (0, 0, 0) on the studs of a generated brick, in
    // world cells.
    static Tav::Vector3i SurfaceCell() {
        Tav::Chunk* chunk = Tav::AllocChunk();
        chunk->Init(0, 0, 0);
        Tav::TerrainGenerator::GenerateChunk(chunk);
        Tav::Vector3i found(0, -1, 0);
        for (int x = 0; x < 16 && found.y < 0; ++x)
            for (int z = 0; z < 16 && found.y < 0; ++z)
                for (int y = 1; y < 16; ++y) {
                    const Tav::BrickCell* below = Tav::CellTypeTable::Get(chunk->GetCell(x, y - 1, z).typeIndex);
                    if (chunk->GetCell(x, y, z).typeIndex == 0 && below && below->hasTopStuds) {
                        found = Tav::Vector3i(x - 8, y, z - 8);
                        break;
                    }
                }
        Tav::FreeChunk(chunk);
        EXPECT_GE(found.y, 0) << "no surface in chunk (0, 0, 0)";
        return found;
    }

    WorkFolder folder;
    std::optional<ServerProcess> server;
};

TEST_F(Entities, ANewPlayerIsConstructedBeforeItsNoticeAndMovesByTheMovementRules) {
    // The spawn column is empty; toward -x a ledge one cell high, then a wall.
    DesignedWorld world;
    world.Fill(-14, -8, 0, 0, -4, 3);
    world.Fill(-18, -15, 0, 6, -4, 3);
    world.Store(folder.Path() / "world.db");
    StartServer();
    ReplicaClient client;
    Join(client);

    // Its own player, by GUID, arrived before the one-byte notice.
    const SeenEntity* own = client.Own();
    ASSERT_NE(own, nullptr);
    const auto notices = client.MessagesWithId(Tav::ID_PLAYER_SPAWNED);
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].data, std::vector<unsigned char>{Tav::ID_PLAYER_SPAWNED});
    EXPECT_LT(own->constructedAt, notices[0].event);
    // An empty column spawns one row below the floor.
    EXPECT_EQ(own->constructed.motion.position, Tav::Vector3(0.0, -kRow, 0.0));
    // The first serialisation carries the whole inventory: the spawn grant.
    EXPECT_TRUE(own->states.front().wholeInventory);
    EXPECT_EQ(own->states.front().counts, std::vector<int32_t>(5, kSpawnGrant));

    // The test's own player moves through the same cells by the same rules;
    // the server's replicated state must match it exactly after every input.
    Tav::Player mirror(nullptr);
    mirror.simulatedState = own->constructed;
    Tav::Player::SetOccupancy(&world);
    struct Uninstall {
        ~Uninstall() { Tav::Player::SetOccupancy(nullptr); }
    } uninstall;
    struct Step {
        Tav::Vector3 move;
        bool jump;
        int count;
    };
    const Step plan[] = {
        {{1, 0, 0}, false, 34},   // walk toward -x: up the ledge, then against the wall
        {{-1, 0, 0}, false, 20},  // back along +x and off the ledge
        {{0, 0, 0}, false, 8},    // let go: friction stops the player
        {{0, 0, 0}, true, 1},     // a jump from the ground
        {{0, 0, 0}, false, 6},
    };
    std::vector<Tav::PlayerInput> inputs;
    for (const Step& step : plan)
        for (int i = 0; i < step.count; ++i) {
            Tav::PlayerInput input;
            input.time = 0.02 * static_cast<double>(inputs.size() + 1);
            input.facing = Tav::Vector3(1, 0, 0);
            input.move = step.move;
            input.jump = step.jump;
            inputs.push_back(input);
        }
    bool steppedOntoLedge = false, stoppedAtWall = false, fellOffLedge = false, jumped = false;
    for (size_t n = 0; n < inputs.size() && !HasFailure(); ++n) {
        const Tav::PlayerInput& input = inputs[n];
        const Tav::PlayerState before = mirror.simulatedState;
        mirror.ApplyInput(input);
        const Tav::PlayerState& after = mirror.simulatedState;
        steppedOntoLedge |= after.motion.position.x < -5.0 && after.motion.position.y >= kRow;
        stoppedAtWall |= input.move.x > 0 && after.motion.position.x == before.motion.position.x &&
                         after.motion.position.x < -9.0;
        fellOffLedge |= before.motion.position.y >= kRow && after.motion.position.y < kRow;
        jumped |= input.jump && after.motion.position.y > before.motion.position.y;

        ASSERT_TRUE(client.Send(InputMessage(input)));
        ASSERT_TRUE(client.Pump([&] { return !own->states.empty() && own->states.back().input.time == input.time; }))
            << "input " << n << "\n" << server->Transcript();
        const Tav::PlayerState& got = own->states.back().state;
        SCOPED_TRACE("input " + std::to_string(n));
        EXPECT_EQ(got.motion.position, after.motion.position);
        EXPECT_EQ(got.motion.velocity, after.motion.velocity);
        EXPECT_EQ(got.onGround, after.onGround);
        EXPECT_EQ(got.facing, after.facing);
    }
    EXPECT_TRUE(steppedOntoLedge);
    EXPECT_TRUE(stoppedAtWall);
    EXPECT_TRUE(fellOffLedge);
    EXPECT_TRUE(jumped);
    // Nothing but the first serialisation carried the inventory.
    for (size_t i = 1; i < own->states.size(); ++i) EXPECT_FALSE(own->states[i].wholeInventory) << i;
    StopServer();
}

TEST_F(Entities, EditsTradeBricksReachEveryClientAndOutliveARestart) {
    const Tav::Vector3i at = SurfaceCell();
    StartServer();
    ReplicaClient a, b;
    Join(a);
    Join(b);

    // Each sees the other's player.
    ASSERT_TRUE(b.Pump([&] { return b.PlayerOf(a.MyGuid()) != nullptr; })) << server->Transcript();
    ASSERT_TRUE(a.Pump([&] { return a.PlayerOf(b.MyGuid()) != nullptr; })) << server->Transcript();
    const SeenEntity* aSeenByA = a.Own();
    const SeenEntity* aSeenByB = b.PlayerOf(a.MyGuid());

    // Each edit answers both clients with chunk data, and a's player's next
    // serialisation carries its whole inventory to both; a refused placement
    // takes no brick.
    struct Edit {
        Net::BitStream message;
        int32_t count;   // type 0 in a's inventory afterwards
        bool brick;      // a 1 x 1 brick at `at` afterwards
        bool changes;    // whether the inventory changes
        const char* what;
    };
    const Edit edits[] = {
        {PlaceBrick(at, 0, 0, 5), kSpawnGrant - 1, true, true, "placed"},
        {RemoveBrick(at), kSpawnGrant, false, true, "removed"},
        {PlaceBrick(at, 0, 0, 5), kSpawnGrant - 1, true, true, "placed again"},
        {PlaceBrick(at, 0, 0, 6), kSpawnGrant - 1, true, false, "refused: the cell is taken"},
    };
    for (const Edit& e : edits) {
        SCOPED_TRACE(e.what);
        const size_t chunksA = a.CountOf(Tav::ID_CHUNK_DATA), chunksB = b.CountOf(Tav::ID_CHUNK_DATA);
        const size_t statesA = aSeenByA->states.size(), statesB = aSeenByB->states.size();
        ASSERT_TRUE(a.Send(e.message));
        ASSERT_TRUE(a.Pump([&] { return a.CountOf(Tav::ID_CHUNK_DATA) > chunksA; })) << server->Transcript();
        ASSERT_TRUE(b.Pump([&] { return b.CountOf(Tav::ID_CHUNK_DATA) > chunksB; })) << server->Transcript();
        for (ReplicaClient* c : {&a, &b})
            EXPECT_EQ(OriginCell(c->MessagesWithId(Tav::ID_CHUNK_DATA).back().data, at) == OneByOneIndex(), e.brick);
        for (auto [c, seen, from] : {std::make_tuple(&a, aSeenByA, statesA), std::make_tuple(&b, aSeenByB, statesB)}) {
            if (e.changes) {
                ASSERT_TRUE(c->Pump([&, s = seen, f = from] {
                    for (size_t i = f; i < s->states.size(); ++i)
                        if (s->states[i].wholeInventory && s->states[i].counts[0] == e.count) return true;
                    return false;
                })) << server->Transcript();
            }
            const std::vector<int32_t>& counts = seen->states.back().counts;
            EXPECT_EQ(counts[0], e.count);
            EXPECT_EQ(std::vector<int32_t>(counts.begin() + 1, counts.end()), std::vector<int32_t>(4, kSpawnGrant));
        }
    }

    // a leaves: b sees its player destroyed.
    const Net::Guid aGuid = a.MyGuid();
    a.Leave();
    ASSERT_TRUE(b.Pump([&] { return aSeenByB->destroyedAt >= 0; })) << server->Transcript();
    EXPECT_TRUE(server->WaitForLine("Player removed with guid: " + aGuid.ToString() + " "));
    StopServer();

    // The edit is in world.db and comes back after a restart.
    {
        Tav::SqlDatabase db;
        db.Open((folder.Path() / "world.db").string().c_str());
        Tav::SqlQuery row = db.ExecQuery("select data from mapdata where location = '0,0,0';");
        ASSERT_FALSE(row.Eof());
        std::vector<unsigned char> raw;
        std::string error;
        ASSERT_TRUE(Tav::DecodeChunkRow(row.FieldValue(0), static_cast<size_t>(row.FieldLength(0)),
                                        Tav::kStoredChunkRawLength, raw, error))
            << error;
        const size_t cell = 3 * static_cast<size_t>(((at.x + 8) * 16 + at.y) * 16 + at.z + 8);
        EXPECT_EQ((raw[cell] << 8) | raw[cell + 1], OneByOneIndex());
    }
    StartServer();
    ReplicaClient c;
    Join(c);
    ASSERT_TRUE(c.Send(ChunkRequest({Tav::Vector3i(0, 0, 0)})));
    ASSERT_TRUE(c.Pump([&] { return c.CountOf(Tav::ID_CHUNK_DATA) > 0; })) << server->Transcript();
    EXPECT_EQ(OriginCell(c.MessagesWithId(Tav::ID_CHUNK_DATA).back().data, at), OneByOneIndex());
    StopServer();
}

}  // namespace
