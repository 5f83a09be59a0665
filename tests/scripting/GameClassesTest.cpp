// The script classes "Server", "Player", "Item" and "EntityManagerClass" in a
// real Lua state, with players in the process's registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "ScriptFixture.h"
#include "entities/Item.h"
#include "entities/ScriptError.h"
#include "scripting/IScriptServer.h"

namespace Tav {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;
using Testing::RegisteredPlayers;

// Records what scripts ask of the server; the import methods write through
// the connector they were given, and every method returns a result.
struct RecordingServer : IScriptServer {
    bool SpawnPhysicsEntity() override {
        calls.push_back("spawn");
        return true;
    }
    std::string ImportTestLXFML() override {
        calls.push_back("test design");
        return "[tested]";
    }
    std::string ImportBase64LXFML(ServerCommandConnector& connector, const std::string& text) override {
        calls.push_back("import " + text + " for " + connector.GetGUID().ToString());
        connector.Print("[import]");
        return "[imported " + text + "]";
    }
    std::string UndoImportLXFML(ServerCommandConnector& connector) override {
        calls.push_back("undo for " + connector.GetGUID().ToString());
        connector.Print("[undo]");
        return "[undone]";
    }
    std::vector<std::string> calls;
};

// The number that a script sees for each player in the order of a walk.
constexpr const char* kWalk = R"lua(
function walk()
    local numbers = {}
    for p in EntityManager.Players do numbers[#numbers + 1] = p:GetGuidAsInteger() end
    return table.concat(numbers, ' ')
end
function player(n)
    for p in EntityManager.Players do if p:GetGuidAsInteger() == n then return p end end
end
)lua";

class GameClassesTest : public Testing::ScriptFixture {
protected:
    void SetUp() override {
        ScriptFixture::SetUp();
        ASSERT_EQ(Start(std::string(kWalk) + R"lua(
declare("serve", 1, "Asks everything of the server")
function serve(c, text)
    local results = {tostring(ServerInstance:SpawnPhysicsEntity()), ServerInstance:ImportTestLXFML(),
                     ServerInstance:ImportBase64LXFML(c, text), ServerInstance:UndoImportLXFML(c)}
    c:Print(' ' .. table.concat(results, ' '))
end
)lua",
                        &server),
                  "Loaded scripts\n");
    }

    Vector3 PushOf(Player* player) {
        std::lock_guard<std::mutex> lock(player->mutex);
        return player->push;
    }

    RecordingServer server;
    RegisteredPlayers players;
};

TEST_F(GameClassesTest, PlayersWalksTheRegisteredPlayersInOrder) {
    EXPECT_EQ(Eval("return walk()"), "");
    EXPECT_EQ(Eval("return tostring(EntityManager.Players())"), "nil");
    players.Add(7);
    EXPECT_EQ(Eval("return walk()"), "7");
    players.Add(3);
    players.Add(5);
    EXPECT_EQ(Eval("return walk()"), "7 3 5");

    // Two reads are two walks; a finished walk keeps giving nil; every visit
    // gives a new object for the same player.
    EXPECT_EQ(Eval("local a, b = EntityManager.Players, EntityManager.Players\n"
                   "local first = a():GetGuidAsInteger()\n"
                   "return first .. ' ' .. b():GetGuidAsInteger() .. ' ' .. a():GetGuidAsInteger()"),
              "7 7 3");
    EXPECT_EQ(Eval("local it = EntityManager.Players; it(); it(); it()\n"
                   "return tostring(it()) .. ' ' .. tostring(it())"),
              "nil nil");
    EXPECT_EQ(Eval("local a, b = EntityManager.Players(), EntityManager.Players()\n"
                   "return tostring(rawequal(a, b)) .. ' ' .. tostring(a:GetGuidAsInteger() == b:GetGuidAsInteger())"),
              "false true");
    // The walk goes over the players of the moment of the read.
    EXPECT_EQ(Eval("pending = EntityManager.Players; return 0"), "0");
    players.Add(9);
    EXPECT_EQ(Eval("local n = 0; for p in pending do n = n + 1 end; return n"), "3");
}

TEST_F(GameClassesTest, PlayersCannotBeAssigned) {
    players.Add(1);
    EXPECT_THAT(Eval("EntityManager.Players = {}"), HasSubstr("read only"));
    EXPECT_THAT(Eval("EntityManager.Players = EntityManager.Players"), HasSubstr("read only"));
    EXPECT_EQ(Eval("return walk()"), "1");
    EXPECT_EQ(g_entityManager.GetPlayerCount(), 1u);
}

TEST_F(GameClassesTest, ProgramClassesHaveNoConstructorAndPlayersOnlyTheirThreeMethods) {
    players.Add(1);
    EXPECT_EQ(Eval("return tostring(pcall(Server)) .. tostring(pcall(Player)) .. tostring(pcall(EntityManagerClass))"),
              "falsefalsefalse");
    EXPECT_EQ(Eval("local p = player(1)\n"
                   "return type(p.SetItem) .. type(p.GetGuidAsInteger) .. type(p.PushPlayer) .. ' ' ..\n"
                   "       type(p.GetPosition) .. type(p.GetTypeName) .. type(p.push) .. type(p.guid)"),
              "functionfunctionfunction nilnilnilnil");
}

TEST_F(GameClassesTest, AKeptPlayerRaisesOnceItsPlayerHasLeft) {
    Player* leaving = players.Add(1);
    players.Add(2);
    ASSERT_EQ(Eval("kept = player(1); unfinished = EntityManager.Players; item = Item(); return kept:GetGuidAsInteger()"),
              "1");
    // The kept objects hold nothing of the player: it goes at once.
    players.Remove(leaving);
    for (const char* call : {"return kept:GetGuidAsInteger()", "kept:PushPlayer(Vector3(1, 0, 0))",
                             "kept:SetItem(item)", "return unfinished():GetGuidAsInteger()"})
        EXPECT_EQ(Eval(call), "error: The player has left the server.") << call;
    // The rest of the walk and the other player are unaffected.
    EXPECT_EQ(Eval("return unfinished():GetGuidAsInteger() .. ' ' .. walk()"), "2 2");
}

TEST_F(GameClassesTest, PushPlayerCopiesTheVector) {
    Player* pushed = players.Add(1);
    ASSERT_EQ(Eval("local v = Vector3(1, 2, 3); player(1):PushPlayer(v); v:Set(9, 9, 9); return 0"), "0");
    EXPECT_EQ(PushOf(pushed), Vector3(1, 2, 3));
    EXPECT_THAT(Eval("player(1):PushPlayer(Vector3i(4, 5, 6))"), StartsWith("error: No matching overload"));
    EXPECT_THAT(Eval("player(1):PushPlayer(nil)"), StartsWith("error: No matching overload"));
    EXPECT_EQ(PushOf(pushed), Vector3(1, 2, 3));
    ASSERT_EQ(Eval("player(1):PushPlayer(Vector3()); return 0"), "0");
    EXPECT_EQ(PushOf(pushed), Vector3(0, 0, 0));
}

TEST_F(GameClassesTest, SetItemTakesOnlyItems) {
    Player* holder = players.Add(1);
    for (const char* wrong : {"player(1):SetItem(Vector3())", "player(1):SetItem(nil)", "player(1):SetItem({})",
                              "player(1):SetItem(player(1))"})
        EXPECT_THAT(Eval(wrong), StartsWith("error: No matching overload")) << wrong;
    {
        auto lock = commander.Lock();
        EXPECT_FALSE(holder->hasItem);
        EXPECT_FALSE(holder->heldItem);
    }
    ASSERT_EQ(Eval("kept = Item(); player(1):SetItem(kept); return 0"), "0");
    auto lock = commander.Lock();
    EXPECT_TRUE(holder->hasItem);
    EXPECT_TRUE(holder->heldItem);
}

TEST_F(GameClassesTest, ServerMethodsReachTheServerWithTheRunsConnector) {
    EXPECT_EQ(Run("serve abc", Net::Guid(42)), "[import][undo] true [tested] [imported abc] [undone]");
    const std::vector<std::string> expected = {"spawn", "test design", "import abc for 42", "undo for 42"};
    EXPECT_EQ(server.calls, expected);

    server.calls.clear();
    for (const char* wrong : {"ServerInstance:ImportBase64LXFML('abc')", "ServerInstance:ImportBase64LXFML(nil, 'abc')",
                              "ServerInstance:UndoImportLXFML()", "ServerInstance:SpawnPhysicsEntity(1)",
                              "ServerInstance:UndoImportLXFML(Vector3())"})
        EXPECT_THAT(Eval(wrong), StartsWith("error: No matching overload")) << wrong;
    EXPECT_TRUE(server.calls.empty());
}

TEST_F(GameClassesTest, ItemsRunTheirDefaultsOrTheirScriptsOwnFunctions) {
    ASSERT_EQ(Eval(R"lua(
class 'Recorder' (Item)
function Recorder:__init() Item.__init(self) end
function Recorder:Update(dt, p) seen = dt .. ' ' .. tostring(p and p:GetGuidAsInteger()) end
return 0)lua"),
              "0");
    players.Add(4);
    struct Case {
        const char* chunk;
        std::string printed;
        std::string result;
    };
    const Case cases[] = {
        {"Item():TestNative(); return 0", "Test Native!\n", "0"},
        {"Item():Update(0.1, nil); return 0", "Base update, should not run!\n", "0"},
        {"Item():Update(0.1, player(4)); return 0", "Base update, should not run!\n", "0"},
        {"Recorder():TestNative(); return 0", "Test Native!\n", "0"},
        {"Recorder():Update(0.25, player(4)); return seen", "", "0.25 4"},
        {"Recorder():Update(0.5, nil); return seen", "", "0.5 nil"},
        {"Item():Update(0.1, Vector3())", "", "error: No matching overload"},
        {"Item():Update()", "", "error: No matching overload"},
    };
    for (const Case& c : cases) {
        ::testing::internal::CaptureStdout();
        const std::string result = Eval(c.chunk);
        EXPECT_EQ(::testing::internal::GetCapturedStdout(), c.printed) << c.chunk;
        EXPECT_THAT(result, StartsWith(c.result)) << c.chunk;
    }
}

TEST_F(GameClassesTest, TheProgramCallsAnItemThroughItsWrapper) {
    Player* holder = players.Add(6);
    ASSERT_EQ(Eval(R"lua(
class 'Recorder' (Item)
function Recorder:__init() Item.__init(self) end
function Recorder:Update(dt, p) seen = dt .. ' ' .. tostring(p and p:GetGuidAsInteger()) end
function Recorder:TestNative() error('native refused', 0) end
kept = Recorder()
player(6):SetItem(kept)
return 0)lua"),
              "0");
    auto lock = commander.Lock();
    ItemWrapper& item = *holder->heldItem;
    item.Update(0.5, holder);
    EXPECT_EQ(Eval("return seen"), "0.5 6");
    item.Update(0.75, nullptr);
    EXPECT_EQ(Eval("return seen"), "0.75 nil");
    EXPECT_THROW(item.TestNative(), ScriptError);
}

}  // namespace
}  // namespace Tav
