// How the process ends when it cannot end cleanly: a script that never
// stops, and a stop that cannot store every edit. The real binary, a real
// peer on loopback, and the world.db it leaves in its working folder.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <optional>
#include <ostream>
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
using TavTest::ServerCommand;
using TavTest::ServerProcess;
using TavTest::TypeAt;
using TavTest::WorkFolder;

const char* const kScriptDidNotStop = "A script did not stop; the server shuts down without waiting for it.";
const char* const kShuttingDown = "Shutting Down server...";

// Commands whose script leaves a finaliser that never ends. Lua runs
// finalisers with the time limits' hook off: nothing stops them.
const char* const kStuckScript = R"lua(
ServerCommander:ClearLuaCommands()
local function command(name, run)
    ServerCommander:AddServerCommand(ServerCommand(name, name, 0, ServerCommand.SecurityLevel0))
    _G[name] = run
end
local function stuck()
    return setmetatable({}, {__gc = function()
        ServerCommander:WriteConsoleMessageLine("finalising")
        while true do end
    end})
end
-- Run at once, on the thread of the command.
command("hang", function(c) stuck() collectgarbage() end)
-- Left for the chunk worker's garbage step (the incremental collector is off).
command("later", function(c) collectgarbage("stop") stuck() c:Print("left for the worker") end)
-- Kept until the state is closed.
command("keep", function(c) kept = stuck() c:Print("kept") end)
command("echo", function(c) c:Print("still serving") end)
)lua";

// The cell form of a generated chunk.
std::vector<unsigned char> Generated(int cx, int cy, int cz) {
    Tav::Chunk* chunk = Tav::AllocChunk();
    chunk->Init(cx, cy, cz);
    Tav::TerrainGenerator::GenerateChunk(chunk);
    Net::BitStream out;
    chunk->Serialize(out);
    Tav::FreeChunk(chunk);
    return std::vector<unsigned char>(out.GetData(), out.GetData() + out.GetNumberOfBytesUsed());
}

class Shutdown : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Tav::BrickCatalogue::Build();
        Tav::TerrainGenerator::PrepareShapeTables();
        Tav::SimplexNoise::InitPermutations();
    }

    // Empty cells of chunk (0, 0, 0) on the studs of generated bricks, in
    // world cells: where a 1 x 1 brick can be placed.
    static std::vector<Tav::Vector3i> SurfaceCells(size_t count) {
        const auto cells = Generated(0, 0, 0);
        std::vector<Tav::Vector3i> found;
        for (int x = 0; x < 16 && found.size() < count; x += 2)
            for (int z = 0; z < 16 && found.size() < count; z += 2)
                for (int y = 1; y < 16; ++y) {
                    const Tav::BrickCell* below = Tav::CellTypeTable::Get(TypeAt(cells, x, y - 1, z));
                    if (TypeAt(cells, x, y, z) == 0 && below && below->hasTopStuds) {
                        found.push_back({x - 8, y, z - 8});
                        break;
                    }
                }
        EXPECT_EQ(found.size(), count) << "too little surface in chunk (0, 0, 0)";
        return found;
    }
    static uint16_t OneByOne() { return Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex; }

    void Begin(bool stuckScript = true) {
        if (stuckScript) folder.UseMainScript(kStuckScript);
        server.emplace(folder);
        ASSERT_TRUE(server->WaitForLine("Loaded scripts")) << server->Transcript();
        peer.emplace();
        ASSERT_TRUE(peer->Connect()) << server->Transcript();
        ASSERT_TRUE(peer->WaitFor(Tav::ID_PLAYER_SPAWNED)) << server->Transcript();
    }

    // Places a 1 x 1 brick and waits until the server shows it, which it
    // does only once it is stored.
    void PlaceShown(const Tav::Vector3i& at) {
        ASSERT_TRUE(peer->Send(PlaceBrick(at, 0, 0, 5)));
        const auto entries = ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA));
        ASSERT_EQ(entries.size(), 1u) << server->Transcript();
        EXPECT_EQ(TypeAt(entries[0].cells, at.x + 8, at.y, at.z + 8), OneByOne());
    }

    // The types at the cells of chunk (0, 0, 0) as a new server run on the
    // same folder serves them.
    std::vector<uint16_t> TypesAfterARestart(const std::vector<Tav::Vector3i>& at) {
        peer.reset();
        server.reset();
        folder.UseMainScript("-- no commands\n");
        Begin(false);
        std::vector<uint16_t> types;
        if (::testing::Test::HasFatalFailure()) return types;
        EXPECT_TRUE(peer->Send(ChunkRequest({{0, 0, 0}})));
        const auto entries = ParseChunkData(peer->WaitFor(Tav::ID_CHUNK_DATA));
        EXPECT_EQ(entries.size(), 1u);
        for (const Tav::Vector3i& c : at)
            types.push_back(entries.empty() ? 0xFFFF : TypeAt(entries[0].cells, c.x + 8, c.y, c.z + 8));
        EXPECT_TRUE(server->WriteLine("exit"));
        EXPECT_EQ(server->WaitExit(), 0) << server->Transcript();
        return types;
    }

    bool WaitForLineStarting(const std::string& prefix) {
        for (;;) {
            const auto line = server->ReadLine();
            if (!line) return false;
            if (line->rfind(prefix, 0) == 0) return true;
        }
    }

    WorkFolder folder;
    std::optional<ServerProcess> server;
    std::optional<RawClient> peer;
};

struct StuckCase {
    const char* name;
    const char* command;  // the command that leaves the finaliser
    bool fromClient;      // sent by the peer, else typed on the console
    const char* stop;     // "exit", "term", "int" or "int twice"
};
void PrintTo(const StuckCase& c, std::ostream* out) { *out << c.name; }

class StuckScript : public Shutdown, public ::testing::WithParamInterface<StuckCase> {};

// Whichever thread the finaliser holds, the process still ends: every edit
// that was shown is stored, the database is closed, the peers are told, and
// the exit code and one line say that a script did not stop.
TEST_P(StuckScript, StillEndsTheProcessWithEveryShownEditStored) {
    const StuckCase& c = GetParam();
    const std::vector<Tav::Vector3i> at = SurfaceCells(1);
    Begin();
    PlaceShown(at[0]);

    if (c.fromClient)
        ASSERT_TRUE(peer->Send(ServerCommand(c.command)));
    else
        ASSERT_TRUE(server->WriteLine(c.command));
    const bool atClose = std::string(c.command) == "keep";
    if (!atClose) {
        ASSERT_TRUE(server->WaitForLine("finalising")) << server->Transcript();
    }

    const std::string stop = c.stop;
    if (stop == "exit") {
        // A client's finaliser holds the network thread: the console still
        // answers (a command waits for the scripts only so long) and still
        // takes the word exit.
        if (c.fromClient) {
            ASSERT_TRUE(server->WriteLine("echo"));
        }
        ASSERT_TRUE(server->WriteLine("exit"));
    } else if (stop == "term") {
        server->Signal(SIGTERM);
    } else if (stop == "int") {
        server->Signal(SIGINT);
    } else {
        server->Signal(SIGINT);
        std::this_thread::sleep_for(100ms);
        server->Signal(SIGINT);
    }
    // A second interrupt does not wait the grace out.
    const auto code = server->WaitExit(stop == "int twice" ? 4s : TavTest::kDefaultDeadline);
    EXPECT_EQ(code, 4) << server->Transcript();
    EXPECT_EQ(server->CountLines(kScriptDidNotStop), 1u) << server->Transcript();
    EXPECT_EQ(server->CountLines(kShuttingDown), stop == "exit" ? 1u : 0u) << server->Transcript();
    if (stop == "exit" && c.fromClient) {
        EXPECT_EQ(server->CountLines("The command was not run: the scripts have been busy for more than 10 s."), 1u)
            << server->Transcript();
    }
    EXPECT_EQ(server->SanitizerReport(), "");
    EXPECT_TRUE(peer->WaitFor(Net::ID_DISCONNECTION_NOTIFICATION)) << server->Transcript();

    EXPECT_EQ(TypesAfterARestart(at), std::vector<uint16_t>{OneByOne()});
}

const StuckCase kStuckCases[] = {
    {"ConsoleCommandThenTerminate", "hang", false, "term"},
    {"ConsoleCommandThenInterruptTwice", "hang", false, "int twice"},
    {"ClientCommandThenExit", "hang", true, "exit"},
    {"GarbageStepThenInterrupt", "later", false, "int"},
    {"ClosingTheStateThenExit", "keep", false, "exit"},
};

INSTANTIATE_TEST_SUITE_P(Where, StuckScript, ::testing::ValuesIn(kStuckCases),
                         [](const ::testing::TestParamInfo<StuckCase>& p) { return p.param.name; });

// A stop whose last stores fail says so with its exit code; what was shown
// before is kept.
TEST_F(Shutdown, AStopThatCannotStoreEveryEditEndsWithCodeThree) {
    const std::vector<Tav::Vector3i> at = SurfaceCells(2);
    Begin(false);
    PlaceShown(at[0]);
    // From here on SQLite cannot make its journal (a folder stands at its
    // path): every write fails, for root too.
    const std::filesystem::path journal = folder.Path() / "world.db-journal";
    std::filesystem::create_directory(journal);
    ASSERT_TRUE(peer->Send(PlaceBrick(at[1], 0, 0, 5)));
    ASSERT_TRUE(WaitForLineStarting("Cannot store chunk 0,0,0: ")) << server->Transcript();

    ASSERT_TRUE(server->WriteLine("exit"));
    EXPECT_EQ(server->WaitExit(), 3) << server->Transcript();
    EXPECT_EQ(server->CountLines("1 chunk(s) could not be stored before the world was unloaded; their latest "
                                 "changes are lost"),
              1u)
        << server->Transcript();
    EXPECT_EQ(server->CountLines(kScriptDidNotStop), 0u);
    EXPECT_TRUE(peer->WaitFor(Net::ID_DISCONNECTION_NOTIFICATION)) << server->Transcript();

    std::filesystem::remove(journal);
    EXPECT_EQ(TypesAfterARestart(at), (std::vector<uint16_t>{OneByOne(), 0}));
}

}  // namespace
