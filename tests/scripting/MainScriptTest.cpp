// The shipped main script loads and every command it declares runs.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "ScriptFixture.h"
#include "scripting/IScriptServer.h"
#include "scripting/ServerCommander.h"

namespace Tav {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

// Counts what the script asks of it; a box lands only above a registered
// player, and the design methods answer with outcome.
struct CountingServer : IScriptServer {
    bool SpawnPhysicsEntity() override {
        if (g_entityManager.GetPlayerCount() == 0) return false;
        ++spawns;
        return true;
    }
    std::string ImportTestLXFML() override {
        ++testDesigns;
        return outcome;
    }
    std::string ImportBase64LXFML(ServerCommandConnector& connector, const std::string& text) override {
        imports.push_back(connector.GetGUID().ToString() + " " + text);
        return outcome;
    }
    std::string UndoImportLXFML(ServerCommandConnector& connector) override {
        undos.push_back(connector.GetGUID().ToString());
        return outcome;
    }
    int spawns = 0;
    int testDesigns = 0;
    std::vector<std::string> imports;
    std::vector<std::string> undos;
    std::string outcome = "[outcome]";
};

std::filesystem::path SourceFolder() {
    if (const char* dir = std::getenv("TAV_SOURCE_DIR")) return dir;
    return std::filesystem::path(__FILE__).parent_path().parent_path().parent_path();
}

class MainScriptTest : public ::testing::Test {
protected:
    void SetUp() override {
        commander.SetMainScriptPath((SourceFolder() / "assets/lua/Main.lua").string());
        ::testing::internal::CaptureStdout();
        commander.InitLua(&server);
        printed = ::testing::internal::GetCapturedStdout();
    }
    void TearDown() override { commander.Close(); }

    Vector3 PushOf(Player* player) {
        std::lock_guard<std::mutex> lock(player->mutex);
        return player->push;
    }

    std::string Run(const std::string& line) {
        return commander.Execute(Net::Guid(777), line).GetOutput();
    }
    std::string Listing() {
        ServerCommandConnector listing("", ServerCommand::SecurityLevel0, Net::Guid());
        commander.ListServerCommands(listing);
        return listing.GetOutput();
    }

    CountingServer server;
    Testing::RegisteredPlayers players;
    ServerCommander commander;
    std::string printed;
};

TEST_F(MainScriptTest, LoadsAndDeclaresAHelpCommand) {
    ASSERT_EQ(printed, "Loaded scripts\n");
    const std::string listing = Listing();
    EXPECT_THAT(listing, HasSubstr("help[0] Level0 : "));
    EXPECT_EQ(Run("help"), listing);
    EXPECT_EQ(Run("commands"), listing);
    EXPECT_EQ(Run("echo \"hello there\""), "hello there");
    EXPECT_EQ(Run("say hi"), "hi");
    EXPECT_EQ(Run("add 2 3"), "5");
    EXPECT_EQ(Run("add two 3"), "Both arguments must be numbers");
    EXPECT_EQ(Run("whoami"), "Your GUID is 777");
}

TEST_F(MainScriptTest, AnnounceWritesOneConsoleLineWhateverTheText) {
    // A quoted argument may hold line ends and other control characters;
    // the console shows the message on one line of its own all the same.
    ::testing::internal::CaptureStdout();
    const std::string answer = Run("announce \"two\nlines\tand\rmore\"");
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Announcement: two?lines?and?more\n");
    EXPECT_EQ(answer, "Announced");
}

TEST_F(MainScriptTest, ReloadKeepsOneDeclarationOfEachCommand) {
    const std::string before = Listing();
    EXPECT_EQ(Run("reload"), "Loaded scripts");
    EXPECT_EQ(Run("rl"), "Loaded scripts");
    EXPECT_EQ(Listing(), before);
    EXPECT_EQ(Run("commands"), before);
}

TEST_F(MainScriptTest, EveryDeclaredCommandRuns) {
    // Each command's line of the listing: name[count] Level0 : description.
    std::istringstream lines(Listing());
    int seen = 0;
    for (std::string text; std::getline(lines, text);) {
        const size_t open = text.find('[');
        const size_t close = text.find("] Level");
        if (open == std::string::npos || close == std::string::npos) continue;
        ++seen;
        std::string commandLine = text.substr(0, open);
        const int count = std::stoi(text.substr(open + 1, close - open - 1));
        for (int i = 0; i < count; ++i) commandLine += " 1";
        const std::string output = Run(commandLine);
        EXPECT_FALSE(output.empty()) << commandLine;
        for (const char* failure : {"not found", "Wrong number", "attempt to", "error", "No matching"})
            EXPECT_THAT(output, ::testing::Not(HasSubstr(failure))) << commandLine;
    }
    EXPECT_GE(seen, 3);
}

}  // namespace
}  // namespace Tav

namespace Tav {
namespace {

TEST_F(MainScriptTest, BoxesNeedAPlayerAndAreBounded) {
    EXPECT_EQ(Run("box"), "No box dropped: there is no player to drop it above");
    EXPECT_EQ(server.spawns, 0);
    players.Add(1);
    EXPECT_EQ(Run("box"), "Box 1 of 64 dropped");
    for (int i = 2; i <= 64; ++i) Run("box");
    EXPECT_EQ(server.spawns, 64);
    // The count outlives a reload: a client cannot reset it.
    EXPECT_EQ(Run("reload"), "Loaded scripts");
    EXPECT_EQ(Run("box"), "No box dropped: 64 have been dropped, the most there may be");
    EXPECT_EQ(server.spawns, 64);
}

// The design commands ask the server for the sender and answer what it did,
// whatever that was: never a success that did not happen.
TEST_F(MainScriptTest, DesignCommandsAnswerWhatTheServerDid) {
    const char* const outcomes[] = {
        "3 of 3 bricks placed beside the sender's player",
        "No design placed: the sender has no player",
        "No test design placed: test.lxfml cannot be read",
        "Nothing taken out: the sender has no design to take out",
    };
    for (const char* outcome : outcomes) {
        server.outcome = outcome;
        EXPECT_EQ(Run("testdesign"), outcome);
        EXPECT_EQ(Run("import QUJD"), outcome);
        EXPECT_EQ(Run("undo"), outcome);
    }
    EXPECT_EQ(server.testDesigns, 4);
    EXPECT_EQ(server.imports, std::vector<std::string>(4, "777 QUJD"));
    EXPECT_EQ(server.undos, std::vector<std::string>(4, "777"));
}

TEST_F(MainScriptTest, PlayersListsTheConnectedPlayers) {
    EXPECT_EQ(Run("players"), "0 player(s)");
    players.Add(12);
    players.Add(34);
    EXPECT_EQ(Run("players"), "2 player(s): 12, 34");
}

TEST_F(MainScriptTest, AGustPushesEveryPlayerForAFewSecondsThenStops) {
    Player* first = players.Add(1);
    Player* second = players.Add(2);
    EXPECT_EQ(Run("gust"), "A gust blows over 2 player(s)");
    commander.UpdateHeldItems(0.1);
    const Vector3 blowing = PushOf(first);
    EXPECT_GT(blowing.Length(), 0.0);
    EXPECT_EQ(PushOf(second), blowing);
    // Three seconds of steps later the gust has blown out for good.
    for (int i = 0; i < 30; ++i) commander.UpdateHeldItems(0.1);
    EXPECT_EQ(PushOf(first), Vector3(0, 0, 0));
    EXPECT_EQ(PushOf(second), Vector3(0, 0, 0));
    commander.CollectGarbage();
    commander.UpdateHeldItems(0.1);
    EXPECT_EQ(PushOf(first), Vector3(0, 0, 0));

    // A second gust replaces the first for each player.
    EXPECT_EQ(Run("gust"), "A gust blows over 2 player(s)");
    EXPECT_EQ(Run("gust"), "A gust blows over 2 player(s)");
    commander.UpdateHeldItems(0.1);
    EXPECT_EQ(PushOf(first), blowing);
}

}  // namespace
}  // namespace Tav
