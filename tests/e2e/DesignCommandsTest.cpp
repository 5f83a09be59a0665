// Design imports as players use them: the shipped main script's commands
// sent with ID_SERVER_COMMAND to the real binary, with two clients watching.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "core/GameMessages.h"
#include "core/server/DesignImport.h"
#include "e2e/GameMessageBuilders.h"
#include "e2e/ProcessHarness.h"
#include "e2e/ReplicaClient.h"
#include "entities/PlayerInput.h"
#include "world/BrickCatalogue.h"
#include "world/Chunk.h"
#include "world/ChunkMessage.h"
#include "world/ColourTable.h"
#include "world/ChunkDataCells.h"
#include "world/DesignText.h"
#include "world/Lxfml.h"

namespace {

using Tav::Vector3;
using Tav::Vector3i;
using TavTest::CellIn;
using TavTest::ReplicaClient;
using TavTest::SeenEntity;
using TavTest::ServerProcess;
using TavTest::WorkFolder;
using Entries = std::vector<Tav::ChunkDataEntry>;

// One cell of a design as it should stand in the world.
struct PlacedCell {
    Vector3i at;
    uint16_t typeIndex;
    uint8_t colour;
};

class DesignCommands : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        Tav::BrickCatalogue::Build();
        Tav::ColourTable::Build();
    }

    static bool Join(ReplicaClient& client) {
        return client.Connect() &&
               client.Pump([&] { return client.Own() != nullptr && client.CountOf(Tav::ID_PLAYER_SPAWNED) > 0; });
    }

    // The cells of a design that lands beside a player in the state the
    // server holds for it (as its client has it, replicated).
    static std::vector<PlacedCell> CellsBeside(const Tav::PlayerState& player, const std::string& document) {
        Tav::LxfmlDesign design;
        EXPECT_EQ(Tav::ParseLxfml(document, Vector3i(), design), Tav::LxfmlResult::Parsed);
        const Vector3i origin = Tav::DesignOriginBeside(player.motion.position, player.facing, design);
        std::vector<PlacedCell> cells;
        for (const Tav::LxfmlBrick& b : design.bricks)
            for (const Tav::BrickCell* c : b.shape->cells)
                cells.push_back({origin + Vector3i(b.x + c->dx, b.y + c->dy, b.z + c->dz), c->typeIndex, b.colour});
        return cells;
    }


    // Waits for a chunk-data message after the first `after` that holds
    // every cell as wanted(cell, entry cell) says; its entries.
    static Entries WaitForChunks(ReplicaClient& client, size_t after, const std::vector<PlacedCell>& cells,
                                 const std::function<bool(const PlacedCell&, const Tav::Cell&)>& wanted) {
        Entries found;
        const bool ok = client.Pump([&] {
            const auto messages = client.MessagesWithId(Tav::ID_CHUNK_DATA);
            for (size_t m = after; m < messages.size(); ++m) {
                Entries e;
                if (!Tav::ReadChunkDataMessage(messages[m].data.data(), messages[m].data.size(), e)) continue;
                bool all = true;
                for (const PlacedCell& c : cells) {
                    Tav::Cell cell;
                    all = all && CellIn(e, c.at, cell) && wanted(c, cell);
                }
                if (all) {
                    found = e;
                    return true;
                }
            }
            return false;
        });
        EXPECT_TRUE(ok) << "no chunk data with the design's cells as wanted";
        return found;
    }

    // Asks for the chunks of the cells, and for chunk (0, 0, 0), which always
    // holds ground, and gives the answer's entries. The answer leaves out
    // the chunks that are empty.
    static Entries Fetch(ReplicaClient& client, const std::vector<PlacedCell>& cells) {
        std::vector<Vector3i> chunks = {Vector3i(0, 0, 0)};
        for (const PlacedCell& c : cells) chunks.push_back(Tav::LocateCell(c.at).chunk);
        const size_t before = client.CountOf(Tav::ID_CHUNK_DATA);
        EXPECT_TRUE(client.Send(TavTest::ChunkRequest(chunks)));
        const std::vector<PlacedCell> ground = {{Vector3i(0, 0, 0), 0, 0}};
        return WaitForChunks(client, before, ground, [](const PlacedCell&, const Tav::Cell&) { return true; });
    }
    // A cell of an answer of Fetch: empty when its chunk was left out.
    static Tav::Cell FetchedCell(const Entries& entries, const Vector3i& at) {
        Tav::Cell cell;
        if (!CellIn(entries, at, cell)) cell.typeIndex = 0;
        return cell;
    }

    static bool Placed(const PlacedCell& c, const Tav::Cell& cell) {
        return cell.typeIndex == c.typeIndex && cell.colour == c.colour;
    }
    static bool Empty(const PlacedCell&, const Tav::Cell& cell) { return cell.typeIndex == 0; }

    static void ExpectFree(ReplicaClient& client, const std::vector<PlacedCell>& cells) {
        const Entries e = Fetch(client, cells);
        for (const PlacedCell& c : cells)
            ASSERT_EQ(FetchedCell(e, c.at).typeIndex, 0) << "the test needs a free cell at " << c.at.ToString();
    }

    static void ExpectOrderlyEnd(ServerProcess& server) {
        ASSERT_TRUE(server.WriteLine("exit"));
        EXPECT_EQ(server.WaitExit(), 0) << server.Transcript();
        EXPECT_EQ(server.SanitizerReport(), "");
    }
};

TEST_F(DesignCommands, ImportsLandBesideTheirPlayersForEveryClientAndTheUndoTakesOneOut) {
    // Bricks some rows above the players, in free air.
    const std::string first = TavTest::LxfmlDocument(
        TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,7.68,0.4") +
        TavTest::LxfmlBrickElement("3004", "199", "0,0,1,0,1,0,-1,0,0,0.4,8.64,0.4"));
    const std::string second =
        TavTest::LxfmlDocument(TavTest::LxfmlBrickElement("3003", "1", "1,0,0,0,1,0,0,0,1,0.4,11.52,0.4"));
    WorkFolder folder;
    std::vector<PlacedCell> firstCells, secondCells;
    {
        ServerProcess server(folder);
        ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
        ReplicaClient a, b;
        ASSERT_TRUE(Join(a)) << server.Transcript();
        ASSERT_TRUE(Join(b)) << server.Transcript();

        // The first player faces +x: its design lands behind it, beyond the
        // design's footprint. The second has no facing yet: at its own place.
        Tav::PlayerInput facing;
        facing.facing = Vector3(1, 0, 0);
        ASSERT_TRUE(a.Send(TavTest::InputMessage(facing)));
        ASSERT_TRUE(a.Pump([&] { return a.Own()->Latest().facing == Vector3(1, 0, 0); })) << server.Transcript();
        firstCells = CellsBeside(a.Own()->Latest(), first);
        secondCells = CellsBeside(b.Own()->Latest(), second);
        ASSERT_EQ(firstCells.size(), 3u);
        // More than ten units (twelve cells) behind the player.
        const int32_t playerCellX = static_cast<int32_t>(a.Own()->Latest().motion.position.x * 1.25);
        for (const PlacedCell& c : firstCells) EXPECT_LT(c.at.x, playerCellX - 12) << c.at.ToString();
        ExpectFree(a, firstCells);
        ExpectFree(b, secondCells);

        const size_t seenByA = a.CountOf(Tav::ID_CHUNK_DATA);
        const size_t seenByB = b.CountOf(Tav::ID_CHUNK_DATA);
        ASSERT_TRUE(a.Send(TavTest::ServerCommand("import " + TavTest::Base64Encode(first))));
        ASSERT_TRUE(b.Send(TavTest::ServerCommand("import " + TavTest::Base64Encode(second))));
        for (ReplicaClient* client : {&a, &b}) {
            const size_t after = client == &a ? seenByA : seenByB;
            WaitForChunks(*client, after, firstCells, Placed);
            WaitForChunks(*client, after, secondCells, Placed);
        }

        // The first player's undo takes its design out, for every client,
        // and leaves the other's.
        const size_t beforeUndoA = a.CountOf(Tav::ID_CHUNK_DATA);
        const size_t beforeUndoB = b.CountOf(Tav::ID_CHUNK_DATA);
        ASSERT_TRUE(a.Send(TavTest::ServerCommand("undo")));
        WaitForChunks(a, beforeUndoA, firstCells, Empty);
        WaitForChunks(b, beforeUndoB, firstCells, Empty);
        ExpectOrderlyEnd(server);
    }

    // What every client saw is what the world holds after a restart.
    ServerProcess again(folder);
    ASSERT_TRUE(again.WaitForLine("Loaded scripts")) << again.Transcript();
    ReplicaClient c;
    ASSERT_TRUE(Join(c)) << again.Transcript();
    const Entries stored = Fetch(c, secondCells);
    for (const PlacedCell& cell : secondCells)
        EXPECT_TRUE(Placed(cell, FetchedCell(stored, cell.at))) << cell.at.ToString();
    const Entries undone = Fetch(c, firstCells);
    for (const PlacedCell& cell : firstCells) EXPECT_EQ(FetchedCell(undone, cell.at).typeIndex, 0) << cell.at.ToString();
    ExpectOrderlyEnd(again);
}

TEST_F(DesignCommands, TheTestDesignLandsAtItsCellForEveryClient) {
    WorkFolder folder;
    folder.WriteFile("test.lxfml", TavTest::LxfmlDocument(TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,0,0.4")));
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
    ReplicaClient a, b;
    ASSERT_TRUE(Join(a)) << server.Transcript();
    ASSERT_TRUE(Join(b)) << server.Transcript();
    const std::vector<PlacedCell> cell = {
        {Vector3i(16, 16, 0), Tav::BrickCatalogue::FindShape(0, 0)->cells[0]->typeIndex, 0}};
    ExpectFree(a, cell);
    const size_t seenByA = a.CountOf(Tav::ID_CHUNK_DATA);
    const size_t seenByB = b.CountOf(Tav::ID_CHUNK_DATA);
    ASSERT_TRUE(b.Send(TavTest::ServerCommand("testdesign")));
    const auto placed = [](const PlacedCell& c, const Tav::Cell& found) { return found.typeIndex == c.typeIndex; };
    WaitForChunks(a, seenByA, cell, placed);
    WaitForChunks(b, seenByB, cell, placed);
    ExpectOrderlyEnd(server);
}

// Designs built to hurt, sent by a client as commands: each is refused or
// lands nowhere, and the server goes on serving.
TEST_F(DesignCommands, HostileDesignsFromAClientLeaveTheServerServing) {
    auto repeat = [](const std::string& piece, size_t n) {
        std::string out;
        out.reserve(piece.size() * n);
        for (size_t i = 0; i < n; ++i) out += piece;
        return out;
    };
    std::string garbage(1 << 16, '\0');
    for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<char>((i * 2654435761u) >> 13);
    const std::vector<std::string> designs = {
        "<LXFML>" + repeat("<Brick/>", Tav::kMaxLxfmlBricks + 1) + "</LXFML>",
        repeat("<Brick>", 4000) + repeat("</Brick>", 4000),
        repeat("<a>", 300000) + repeat("</a>", 300000),
        garbage,
        TavTest::LxfmlDocument(TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,1e300,-1e400,1717986944")),
        TavTest::LxfmlDocument(TavTest::LxfmlBrickElement("3005", "21", repeat(",", 1 << 20) + "1")),
    };
    WorkFolder folder;
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();
    ReplicaClient sender, watcher;
    ASSERT_TRUE(Join(sender)) << server.Transcript();
    ASSERT_TRUE(Join(watcher)) << server.Transcript();
    const size_t before = watcher.CountOf(Tav::ID_CHUNK_DATA);
    for (const std::string& d : designs) {
        ASSERT_TRUE(sender.Send(TavTest::ServerCommand("import " + TavTest::Base64Encode(d))));
        ASSERT_TRUE(sender.Send(TavTest::ServerCommand("undo")));
    }
    ASSERT_TRUE(sender.Send(TavTest::ServerCommand("import \"not base64 at all\"")));
    // Every import and undo was told to every client, with no chunk; then
    // the watcher's own request is answered.
    const size_t told = 2 * designs.size() + 1;
    ASSERT_TRUE(watcher.Pump([&] { return watcher.CountOf(Tav::ID_CHUNK_DATA) >= before + told; }))
        << server.Transcript();
    const auto messages = watcher.MessagesWithId(Tav::ID_CHUNK_DATA);
    for (size_t m = before; m < before + told; ++m) {
        Entries e;
        ASSERT_TRUE(Tav::ReadChunkDataMessage(messages[m].data.data(), messages[m].data.size(), e));
        EXPECT_TRUE(e.empty()) << "message " << m - before;
    }
    Fetch(watcher, {});
    ExpectOrderlyEnd(server);
}

// The shipped main script, with the server's design methods watched: each
// result also goes to the console, so that the answer to a player's command
// (which is not sent back) can be seen.
std::string WatchedMainScript() {
    return "dofile('" + TavTest::SourceDir() + "/assets/lua/Main.lua')\n" + R"lua(
local server = ServerInstance
ServerInstance = setmetatable({}, {__index = function(_, name)
    return function(_, ...)
        local result = server[name](server, ...)
        ServerCommander:WriteConsoleMessageLine(name .. ": " .. tostring(result))
        return result
    end
end})
)lua";
}

// The design commands answer what happened: for the console, which has no
// player, and for a player's design that is refused, placed or undone.
TEST_F(DesignCommands, TheAnswersSayWhatHappened) {
    WorkFolder folder;
    folder.UseMainScript(WatchedMainScript());
    ServerProcess server(folder);
    ASSERT_TRUE(server.WaitForLine("Loaded scripts")) << server.Transcript();

    const std::string brick =
        TavTest::LxfmlDocument(TavTest::LxfmlBrickElement("3005", "21", "1,0,0,0,1,0,0,0,1,0.4,30.72,0.4"));
    // (A console line holds at most 127 characters: the console's import
    // never gets as far as the design.)
    const struct {
        const char* line;
        const char* method;
        const char* answer;
    } console[] = {
        {"import QUJD", "ImportBase64LXFML", "No design placed: the sender has no player"},
        {"undo", "UndoImportLXFML", "Nothing taken out: the sender has no player"},
        {"testdesign", "ImportTestLXFML", "No test design placed: test.lxfml cannot be read"},
    };
    for (const auto& c : console) {
        ASSERT_TRUE(server.WriteLine(c.line));
        EXPECT_TRUE(server.WaitForLine(std::string(c.method) + ": " + c.answer)) << server.Transcript();
        EXPECT_TRUE(server.WaitForLine(c.answer)) << server.Transcript();  // the console's answer
    }

    ReplicaClient player, watcher;
    ASSERT_TRUE(Join(player)) << server.Transcript();
    ASSERT_TRUE(Join(watcher)) << server.Transcript();
    std::string tooMany = "<LXFML>";
    for (size_t i = 0; i <= Tav::kMaxLxfmlBricks; ++i) tooMany += "<Brick/>";
    tooMany += "</LXFML>";
    const size_t before = watcher.CountOf(Tav::ID_CHUNK_DATA);
    const struct {
        std::string line;
        std::string answer;
    } sent[] = {
        {"import " + TavTest::Base64Encode(tooMany), "ImportBase64LXFML: No design placed: it has more than 20000 bricks"},
        {"undo", "UndoImportLXFML: Nothing taken out: the sender has no design to take out"},
        {"import " + TavTest::Base64Encode(brick), "ImportBase64LXFML: 1 of 1 brick placed beside the sender's player"},
        {"undo", "UndoImportLXFML: 1 of 1 brick of the sender's last design taken out"},
    };
    for (const auto& c : sent) {
        ASSERT_TRUE(player.Send(TavTest::ServerCommand(c.line)));
        EXPECT_TRUE(server.WaitForLine(c.answer)) << server.Transcript();
    }
    // What every client saw of the refused design: a chunk-data message
    // without chunks, as of the undo of its empty record.
    ASSERT_TRUE(watcher.Pump([&] { return watcher.CountOf(Tav::ID_CHUNK_DATA) >= before + 4; })) << server.Transcript();
    const auto messages = watcher.MessagesWithId(Tav::ID_CHUNK_DATA);
    for (size_t m = before; m < before + 2; ++m) {
        Entries e;
        ASSERT_TRUE(Tav::ReadChunkDataMessage(messages[m].data.data(), messages[m].data.size(), e));
        EXPECT_TRUE(e.empty()) << "message " << m - before;
    }
    ExpectOrderlyEnd(server);
}

}  // namespace
