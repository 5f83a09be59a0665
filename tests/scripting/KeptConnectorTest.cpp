// A connector that a script keeps after its command: every method, and every
// method given it, refuses it with a script error, from a later command and
// from a held item's update alike; within its command it acts as always.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptFixture.h"
#include "scripting/IScriptServer.h"

namespace Tav {
namespace {

using Testing::RegisteredPlayers;

// Records what reaches the server, with the sender it was asked for.
struct RecordingServer : IScriptServer {
    bool SpawnPhysicsEntity() override { return false; }
    std::string ImportTestLXFML() override { return ""; }
    std::string ImportBase64LXFML(ServerCommandConnector& connector, const std::string& text) override {
        calls.push_back("import " + text + " for " + connector.GetGUID().ToString());
        return "imported";
    }
    std::string UndoImportLXFML(ServerCommandConnector& connector) override {
        calls.push_back("undo for " + connector.GetGUID().ToString());
        return "undone";
    }
    std::vector<std::string> calls;
};

// "keep" keeps its connector in a global and uses it there; "use" uses the
// kept one from a later command. Each use gives its result, or false and
// the error's message.
constexpr const char* kScript = R"lua(
ServerCommander:ClearLuaCommands()
uses = {
    Print = function() kept:Print("[printed]") end,
    GetGUID = function() return kept:GetGUID() end,
    GetCommand = function() return kept:GetCommand() end,
    GetSecurityLevel = function() return kept:GetSecurityLevel() end,
    ListServerCommands = function() ServerCommander:ListServerCommands(kept) end,
    ReloadLuaScripts = function() ServerCommander:ReloadLuaScripts(kept) end,
    ImportBase64LXFML = function() return ServerInstance:ImportBase64LXFML(kept, "QUJD") end,
    UndoImportLXFML = function() return ServerInstance:UndoImportLXFML(kept) end,
}
local function useKept(c, what)
    local ok, result = pcall(uses[what])
    c:Print(" -> " .. (ok and tostring(result) or "false " .. tostring(result)))
end
declare("keep", 1, "Keeps its connector and uses it")
function keep(c, what) kept = c; useKept(c, what) end
declare("use", 1, "Uses the kept connector")
function use(c, what) useKept(c, what) end

class 'Keeper' (Item)
function Keeper:__init(what) Item.__init(self) self.what = what end
function Keeper:Update(dt, p) ran[#ran + 1] = self.what; uses[self.what]() end
items = {}
ran = {}
)lua";

class KeptConnectorTest : public Testing::ScriptFixture {
protected:
    void SetUp() override {
        ScriptFixture::SetUp();
        ASSERT_EQ(Start(kScript, &server), "Loaded scripts\n");
    }
    RecordingServer server;
};

const std::string kEndedMessage =
    "The command of this connector has ended: a connector can be used only while its command runs.";
const std::string kEnded = " -> false " + kEndedMessage;

TEST_F(KeptConnectorTest, WithinItsCommandAConnectorActsAfterItEveryUseIsRefused) {
    const struct {
        const char* method;
        std::string within;  // the output of "keep", for sender 7
        std::vector<std::string> calls;
    } cases[] = {
        {"Print", "[printed] -> nil", {}},
        {"GetGUID", " -> 7", {}},
        {"GetCommand", " -> keep", {}},
        {"GetSecurityLevel", " -> 0", {}},
        {"ListServerCommands", "Commands\n" + std::string(73, '=') +
                                   "\nkeep[1] Level0 : Keeps its connector and uses it\n"
                                   "use[1] Level0 : Uses the kept connector\n -> nil",
         {}},
        {"ReloadLuaScripts", "Loaded scripts -> nil", {}},
        {"ImportBase64LXFML", " -> imported", {"import QUJD for 7"}},
        {"UndoImportLXFML", " -> undone", {"undo for 7"}},
    };
    for (const auto& c : cases) {
        server.calls.clear();
        EXPECT_EQ(Run(std::string("keep ") + c.method, Net::Guid(7)), c.within) << c.method;
        EXPECT_EQ(server.calls, c.calls) << c.method;
        // A later command of another sender: the kept connector reaches
        // neither that command's output nor its sender, nor the first's.
        server.calls.clear();
        EXPECT_EQ(Run(std::string("use ") + c.method, Net::Guid(8)), kEnded) << c.method;
        EXPECT_TRUE(server.calls.empty()) << c.method;
    }
}

TEST_F(KeptConnectorTest, AHeldItemsUpdateCannotUseAConnectorKeptFromACommand) {
    RegisteredPlayers players;
    players.Add(1);
    players.Add(2);
    ASSERT_EQ(Run("keep GetGUID", Net::Guid(1)), " -> 1");
    ASSERT_EQ(Eval("local n = 0 for p in EntityManager.Players do n = n + 1 "
                   "items[n] = Keeper(n == 1 and 'Print' or 'ImportBase64LXFML') p:SetItem(items[n]) end return n"),
              "2");
    for (int step = 0; step < 3; ++step) {
        // The chunk worker's step, while no command runs; each failure is
        // reported once.
        ::testing::internal::CaptureStdout();
        commander.UpdateHeldItems(0.1);
        const std::string printed = ::testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed, step == 0 ? "Item update failed: " + kEndedMessage + "\n" : "");
        // And while another command runs: its output stays its own.
        EXPECT_EQ(Run("use GetCommand", Net::Guid(2)), kEnded);
    }
    EXPECT_EQ(Eval("return table.concat(ran, ' ')"),
              "Print ImportBase64LXFML Print ImportBase64LXFML Print ImportBase64LXFML");
    EXPECT_TRUE(server.calls.empty());
}

}  // namespace
}  // namespace Tav
