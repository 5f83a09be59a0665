// The worked examples that docs/protocol.md gives client authors, checked
// against the real binary: where a player appears and how its first inputs
// lift it out of the ground, where an import lands beside its player, cell
// by cell, and which boxes the axis sweep of movement tests. A change of the
// server that moves any of these values must change the document too.
#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "core/GameMessages.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/JoinedPlayer.h"
#include "e2e/StoredWorld.h"
#include "entities/Movement.h"
#include "entities/PlayerInput.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/ChunkDataCells.h"
#include "world/ChunkMessage.h"
#include "world/ColourTable.h"
#include "world/DesignText.h"

namespace {

using Tav::Vector3;
using Tav::Vector3i;

const double kRow = static_cast<double>(0.96f);
const double kStepUp = static_cast<double>(3.36f);

class DocumentedValues : public TavTest::JoinedPlayerTest {
protected:
    static void SetUpTestSuite() {
        Tav::BrickCatalogue::Build();
        Tav::ColourTable::Build();
    }

    // Sends the input and gives the state that the server replicates once it
    // has applied it.
    Tav::PlayerState Apply(const Tav::PlayerInput& input) {
        EXPECT_TRUE(client.Send(TavTest::InputMessage(input)));
        EXPECT_TRUE(client.Pump([&] { return own->states.back().input.time == input.time; }))
            << server->Transcript();
        return own->states.back().state;
    }
    static Tav::PlayerInput Still(double time, Vector3 facing) {
        Tav::PlayerInput input;
        input.time = time;
        input.facing = facing;
        return input;
    }

    // The cells of the chunk-data messages after the first `after`, once one
    // of them holds every cell named; false at the deadline.
    bool WaitForCells(size_t after, const std::vector<Vector3i>& at, std::vector<Tav::Cell>& cells) {
        return client.Pump([&] {
            const auto messages = client.MessagesWithId(Tav::ID_CHUNK_DATA);
            for (size_t m = after; m < messages.size(); ++m) {
                std::vector<Tav::ChunkDataEntry> entries;
                if (!Tav::ReadChunkDataMessage(messages[m].data.data(), messages[m].data.size(), entries)) continue;
                cells.assign(at.size(), Tav::Cell());
                bool all = true;
                for (size_t i = 0; i < at.size(); ++i) all = all && TavTest::CellIn(entries, at[i], cells[i]);
                if (all) return true;
            }
            return false;
        });
    }
    // The cells as the world holds them now (asked for with a chunk request;
    // chunk (0, 0, 0) always holds ground, so the answer always comes).
    std::vector<Tav::Cell> Fetch(const std::vector<Vector3i>& at) {
        std::vector<Vector3i> chunks = {Vector3i(0, 0, 0)};
        for (const Vector3i& c : at) chunks.push_back(Tav::LocateCell(c).chunk);
        const size_t before = client.CountOf(Tav::ID_CHUNK_DATA);
        EXPECT_TRUE(client.Send(TavTest::ChunkRequest(chunks)));
        std::vector<Tav::Cell> cells;
        std::vector<Vector3i> withGround = at;
        withGround.push_back(Vector3i(0, 0, 0));
        EXPECT_TRUE(WaitForCells(before, withGround, cells)) << "a chunk asked for is empty";
        cells.resize(at.size());
        return cells;
    }
};

// A fresh world: the player appears with its feet at the bottom of the
// highest ground row under it, 15, and two step-ups an input lift it out.
TEST_F(DocumentedValues, ThePlayerAppearsInTheGroundAndItsFirstInputsLiftItOut) {
    StartAndJoin();
    const Tav::PlayerState& made = own->constructed;
    EXPECT_EQ(made.motion.position, Vector3(0.0, 14.399999678134918, 0.0));
    EXPECT_EQ(made.motion.position.y, 15 * kRow);
    EXPECT_EQ(made.motion.velocity, Vector3(0.0, 0.0, 0.0));
    EXPECT_EQ(made.motion.rotation, Tav::Quaternion(0.0, 0.0, 0.0, 1.0));
    EXPECT_EQ(made.facing, Vector3(0.0, 0.0, 0.0));
    EXPECT_FALSE(made.onGround);
    EXPECT_FALSE(made.running);
    // The first serialisation carries the whole inventory: 10000 of each
    // type, in type order.
    EXPECT_TRUE(own->states.front().wholeInventory);
    ASSERT_EQ(own->inventory.slots.size(), 5u);
    for (size_t i = 0; i < 5; ++i) {
        EXPECT_EQ(own->inventory.slots[i].type->typeId, i);
        EXPECT_EQ(own->inventory.slots[i].count, 10000);
    }

    // Inputs 1/30 s apart, without a move. The first finds the body blocked
    // below and puts the player on the ground; each later one steps it up on
    // x and on z (3.36 x 2.5 x dt each) while its box still holds row 15;
    // then it rests where the last step left it.
    const double dt = 1.0 / 30.0;
    const double lift = 2 * kStepUp * (2.5 * (2 * dt - dt));
    const double expected[] = {made.motion.position.y, made.motion.position.y + lift,
                               made.motion.position.y + 2 * lift, made.motion.position.y + 2 * lift,
                               made.motion.position.y + 2 * lift};
    for (int i = 0; i < 5; ++i) {
        SCOPED_TRACE("input " + std::to_string(i + 1));
        const Tav::PlayerState s = Apply(Still((i + 1) * dt, Vector3(1, 0, 0)));
        EXPECT_DOUBLE_EQ(s.motion.position.y, expected[i]);
        EXPECT_EQ(s.motion.position.x, 0.0);
        EXPECT_EQ(s.motion.position.z, 0.0);
        EXPECT_TRUE(s.onGround);
    }
    EXPECT_DOUBLE_EQ(own->states.back().state.motion.position.y, 15.519999643166862);
}

// The document's two placements, through to the cells every client is sent.
TEST_F(DocumentedValues, ImportsLandWhereTheDocumentsWorkedExamplesSay) {
    StartAndJoin();
    const double dt = 1.0 / 30.0;
    for (int i = 1; i <= 3; ++i) Apply(Still(i * dt, Vector3(1, 0, 0)));
    ASSERT_EQ(own->states.back().state.motion.position, Vector3(0.0, 15.519999643166862, 0.0));

    // A 1 x 2 brick turned a quarter, its design cell (5, 5, 2): the
    // footprint's box runs from the design's cell (0, 0, 0) to (5, ., 3).
    const std::string turned = TavTest::LxfmlDocument(
        TavTest::LxfmlBrickElement("3004", "21,0", "0,0,1,0,1,0,-1,0,0,4.4,4.8,2.0"));
    // A 1 x 1 brick at its design's cell (0, 5, 0): no footprint at all.
    const std::string single =
        TavTest::LxfmlDocument(TavTest::LxfmlBrickElement("3005", "1", "1,0,0,0,1,0,0,0,1,0.4,4.8,0.4"));
    const std::vector<Vector3i> turnedCells = {Vector3i(-13, 21, 2), Vector3i(-13, 21, 3)};
    const std::vector<Vector3i> singleCells = {Vector3i(-12, 21, -3)};
    // Where each would land if the cells were found by dividing by the cell
    // size, and the turned one's footprint were the brick's own.
    const std::vector<Vector3i> misread = {Vector3i(-8, 21, 2), Vector3i(-11, 21, -3)};
    std::vector<Vector3i> all = turnedCells;
    all.insert(all.end(), singleCells.begin(), singleCells.end());
    all.insert(all.end(), misread.begin(), misread.end());
    for (const Tav::Cell& c : Fetch(all)) ASSERT_EQ(c.typeIndex, 0) << "the example needs free cells";

    std::vector<Tav::Cell> cells;
    size_t before = client.CountOf(Tav::ID_CHUNK_DATA);
    ASSERT_TRUE(client.Send(TavTest::ServerCommand("import " + TavTest::Base64Encode(turned))));
    ASSERT_TRUE(WaitForCells(before, turnedCells, cells)) << server->Transcript();
    const uint8_t red = Tav::ColourTable::IndexOfMaterial(21);
    EXPECT_EQ(red, 5);
    EXPECT_EQ(cells[0].typeIndex, 5);  // the brick's origin cell
    EXPECT_EQ(cells[1].typeIndex, 4);
    EXPECT_EQ(cells[0].colour, red);
    EXPECT_EQ(cells[1].colour, red);

    // Facing (0.96, 0, 0.28): 10 units behind is x -9.6, which times 1.25 is
    // -12 exactly (divided by the cell width it would be -11.9999998).
    Apply(Still(4 * dt, Vector3(0.96, 0, 0.28)));
    ASSERT_EQ(own->states.back().state.motion.position, Vector3(0.0, 15.519999643166862, 0.0));
    before = client.CountOf(Tav::ID_CHUNK_DATA);
    ASSERT_TRUE(client.Send(TavTest::ServerCommand("import " + TavTest::Base64Encode(single))));
    ASSERT_TRUE(WaitForCells(before, singleCells, cells)) << server->Transcript();
    EXPECT_EQ(cells[0].typeIndex, 1);
    EXPECT_EQ(cells[0].colour, Tav::ColourTable::IndexOfMaterial(1));

    for (const Tav::Cell& c : Fetch(misread)) EXPECT_EQ(c.typeIndex, 0);
}

// Each axis is tested with the body's cells at the start of the sweep moved
// along that axis alone. A wall at z = 3 that ends at x = -1: moving +x and
// +z at once, the z test still meets the wall (the body's x at the start),
// although the x move has already carried the body past its end.
TEST_F(DocumentedValues, EachAxisIsTestedFromThePositionAtTheStartOfTheSweep) {
    std::set<std::tuple<int, int, int>> wall;
    for (int x = -12; x <= -1; ++x)
        for (int y = 0; y <= 7; ++y) wall.insert({x, y, 3});
    TavTest::StoreSpawnWorld(folder.Path() / "world.db", wall);
    StartAndJoin();
    // An empty column: one row below the floor, then lifted above it.
    EXPECT_EQ(own->constructed.motion.position, Vector3(0.0, -kRow, 0.0));
    const double dt = 1.0 / 32.0;
    for (int i = 1; i <= 3; ++i) Apply(Still(i * dt, Vector3(0, 0, 1)));
    const Tav::PlayerState start = own->states.back().state;
    EXPECT_DOUBLE_EQ(start.motion.position.y, -kRow + 4 * kStepUp * 2.5 * dt);
    ASSERT_TRUE(start.onGround);

    Tav::PlayerInput diagonal = Still(4 * dt, Vector3(0, 0, 1));
    diagonal.move = Vector3(-0.6, 0.8, 0);  // +x and +z
    diagonal.run = true;
    const Tav::PlayerState after = Apply(diagonal);
    const double t = 2.5 * dt;
    const double dx = 0.8 * static_cast<double>(0.1f) * 2 * 100 * t;  // 1.25
    const double dz = 0.6 * static_cast<double>(0.1f) * 2 * 100 * t;  // 0.9375
    EXPECT_NEAR(after.motion.position.x, 1.25, 1e-6);
    EXPECT_DOUBLE_EQ(after.motion.position.x, dx);
    EXPECT_EQ(after.motion.position.z, 0.0) << "the z move was refused";
    EXPECT_EQ(after.motion.velocity.z, 0.0);
    EXPECT_GT(after.motion.velocity.x, 0.0);
    EXPECT_EQ(after.motion.position.y, start.motion.position.y);

    // The cells that decided it: z moved alone from the start meets the wall,
    // z moved after x would not have.
    auto meetsWall = [&](const Vector3& at) {
        Vector3i min, max;
        Tav::GetBlockRangeOfBox(at, min, max);
        for (const auto& [x, y, z] : wall)
            if (x >= min.x && x <= max.x && y >= min.y && y <= max.y && z >= min.z && z <= max.z) return true;
        return false;
    };
    EXPECT_TRUE(meetsWall(start.motion.position + Vector3(0, 0, dz)));
    EXPECT_FALSE(meetsWall(start.motion.position + Vector3(dx, 0, dz)));
}

// A host's commands take at most its share of the server's time: 2 s at
// at once, then a quarter of a second per second. Beyond it every command is
// dropped, an import too, which then sends no chunk message; the console
// says so once.
TEST_F(DocumentedValues, CommandsBeyondTheHostsShareAreDroppedAndImportsSendNothing) {
    folder.UseMainScript(
        "ServerCommander:ClearLuaCommands()\n"
        "ServerCommander:AddServerCommand(ServerCommand('spin', 'Busy for two to three seconds', 0, "
        "ServerCommand.SecurityLevel0))\n"
        "function spin(c) local t = os.time() while os.time() < t + 3 do end end\n"
        "ServerCommander:AddServerCommand(ServerCommand('import', 'Imports a design', 1, "
        "ServerCommand.SecurityLevel0))\n"
        "function import(c, text) ServerInstance:ImportBase64LXFML(c, text) end\n");
    StartAndJoin();
    const std::string dropped =
        "Commands from 127.0.0.1 are dropped for a while: they have taken more than their share of the server's time.";
    // Two spins take 4 s at least: the share is spent (1 s overdrawn at
    // least), and the third is dropped. (The script's clock counts whole
    // seconds; os.clock would count the processor time of every thread.)
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(client.Send(TavTest::ServerCommand("spin")));
    ASSERT_TRUE(client.Pump([&] { return server->CountLines(dropped) > 0; })) << server->Transcript();
    // Three imports while it is spent, then a brick edit, which the share
    // does not concern: its chunk (loaded, and sent whether or not the brick
    // fits) is the first chunk message to come, so no import sent one.
    const size_t before = client.CountOf(Tav::ID_CHUNK_DATA);
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(client.Send(TavTest::ServerCommand("import x")));
    ASSERT_TRUE(client.Send(TavTest::PlaceBrick(Vector3i(0, 50, 0), 0, 0, 0)));
    ASSERT_TRUE(client.Pump([&] { return client.CountOf(Tav::ID_CHUNK_DATA) > before; })) << server->Transcript();
    std::vector<Tav::ChunkDataEntry> entries;
    const auto first = client.MessagesWithId(Tav::ID_CHUNK_DATA)[before].data;
    ASSERT_TRUE(Tav::ReadChunkDataMessage(first.data(), first.size(), entries));
    ASSERT_EQ(entries.size(), 1u) << "an import's message (no chunk) came first";
    EXPECT_EQ(Vector3i(entries[0].cx, entries[0].cy, entries[0].cz), Vector3i(0, 3, 0));
    // Told once, however many were dropped.
    EXPECT_EQ(server->CountLines(dropped), 1u);
}

}  // namespace
