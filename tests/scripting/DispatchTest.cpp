// Running command lines through the dispatcher against a real Lua state.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ScriptFixture.h"
#include "entities/LuaBind.h"

namespace Tav {
namespace {

using Testing::ScriptFixture;

const char* kCommands = R"lua(
ServerCommander:ClearLuaCommands()
ServerCommander:ClearAllAliases()
declare("say", 1, "Says a text")
function say(c, text) c:Print("<" .. text .. ">") end
declare("none", 0, "Takes nothing")
function none(c) c:Print("ran none") end
declare("five", 5, "Joins five")
function five(c, ...) c:Print(table.concat({...}, "|")) end
declare("six", 6, "Never runs")
function six(c) c:Print("ran six") end
declare("whoami", 0, "Shows the run")
function whoami(c)
    c:Print(c:GetCommand() .. " " .. c:GetGUID() .. " " .. c:GetSecurityLevel())
end
declare("kick", 1, "Removes a player", ServerCommand.SecurityLevel2)
function kick(c, who) c:Print("kicked " .. who) end
declare("undefined", 0, "Has no function")
declare("fails", 0, "Raises an error")
function fails(c) c:Print("before "); error("it broke", 0) end
declare("failstable", 0, "Raises a table")
function failstable(c) error({}) end
declare("failsnumber", 0, "Raises a number")
function failsnumber(c) error(42, 0) end
declare("say", 2, "Second declaration")
)lua";

class DispatchTest : public ScriptFixture {
protected:
    void SetUp() override {
        ScriptFixture::SetUp();
        ASSERT_EQ(Start(kCommands), "Loaded scripts\n");
    }
};

struct LineCase {
    std::string line;
    std::string output;
};

TEST_F(DispatchTest, RunsCommandsAndReportsFailures) {
    const std::vector<LineCase> cases = {
        {"say hello", "<hello>"},
        {"say \"hello world\"", "<hello world>"},
        {"say 'hello world'", "<'hello world'>"},
        {"say \"\"", "<>"},
        {"none", "ran none"},
        {"five a b \"c d\" e f", "a|b|c d|e|f"},
        {"Say hello", "Command 'Say' not found.\n"},
        {"nothing here", "Command 'nothing' not found.\n"},
        // The first of two declarations decides the count and the description.
        {"say a b", "Wrong number of arguments 2 for say[1]\nSays a text\n"},
        {"say", "Wrong number of arguments 0 for say[1]\nSays a text\n"},
        {"none x", "Wrong number of arguments 1 for none[0]\nTakes nothing\n"},
        {"five a b c d e f", "Wrong number of arguments 6 for five[5]\nJoins five\n"},
        {"six 1 2 3 4 5 6", "Command 'six' takes 6 arguments; at most 5 can be passed.\n"},
        {"undefined", "attempt to call a nil value\n"},
        {"fails", "before it broke\n"},
        {"failstable", "(error object is a table value)\n"},
        {"failsnumber", "42\n"},
        {"kick bob", "kicked bob"},
        {"", ""},
        {"  \"  ", ""},
    };
    for (const LineCase& c : cases) EXPECT_EQ(Run(c.line), c.output) << "line: [" << c.line << "]";
}

TEST_F(DispatchTest, ConnectorCarriesTheRun) {
    ServerCommandConnector result = commander.Execute(Net::Guid(12345), "whoami");
    EXPECT_EQ(result.GetOutput(), "whoami 12345 0");
    EXPECT_EQ(result.GetCommand(), "whoami");
    EXPECT_EQ(result.GetSecurityLevel(), ServerCommand::SecurityLevel0);
    EXPECT_EQ(result.GetGUID(), Net::Guid(12345));
    // A GUID beyond what a Lua number holds exactly reaches scripts whole.
    EXPECT_EQ(Run("whoami", Net::Guid(0xFFFFFFFFFFFFFFFEull)), "whoami 18446744073709551614 0");
}

TEST_F(DispatchTest, AliasesResolveOnce) {
    commander.AddAlias("say", "s");
    EXPECT_EQ(Run("s hello"), "<hello>");
    // The connector names the command, not the alias.
    commander.AddAlias("whoami", "w");
    EXPECT_EQ(Run("w", Net::Guid(1)), "whoami 1 0");

    // a -> none, none -> say: a runs none, never say.
    commander.AddAlias("none", "a");
    commander.AddAlias("say", "none");
    EXPECT_EQ(Run("a"), "ran none");
    EXPECT_EQ(Run("none hi"), "<hi>");  // the alias hides the command of its name

    // An alias whose target is no command reports the target.
    commander.AddAlias("missing", "m");
    EXPECT_EQ(Run("m"), "Command 'missing' not found.\n");

    // Replacing and removing.
    commander.AddAlias("kick", "s");
    EXPECT_EQ(Run("s bob"), "kicked bob");
    commander.RemoveAlias("not-an-alias");
    EXPECT_EQ(Run("s bob"), "kicked bob");
    commander.RemoveAlias("s");
    EXPECT_EQ(Run("s bob"), "Command 's' not found.\n");
    commander.ClearAllAliases();
    EXPECT_EQ(Run("a"), "Command 'a' not found.\n");
    EXPECT_EQ(Run("none"), "ran none");
}

TEST_F(DispatchTest, ScriptsManageAliasesAndCommands) {
    WriteScript(R"lua(
declare("alias", 2, "Adds an alias")
function alias(c, command, name) ServerCommander:AddAlias(command, name) end
declare("unalias", 1, "Removes an alias")
function unalias(c, name) ServerCommander:RemoveAlias(name) end
declare("clear", 0, "Clears the commands")
function clear(c) ServerCommander:ClearLuaCommands() end
)lua");
    ServerCommandConnector reload("", ServerCommand::SecurityLevel0, Net::Guid());
    commander.ReloadLuaScripts(reload);
    ASSERT_EQ(reload.GetOutput(), "Loaded scripts");

    EXPECT_EQ(Run("alias say s"), "");
    EXPECT_EQ(Run("s x"), "<x>");
    EXPECT_EQ(Run("unalias s"), "");
    EXPECT_EQ(Run("s x"), "Command 's' not found.\n");
    EXPECT_EQ(Run("clear"), "");
    EXPECT_EQ(Run("say x"), "Command 'say' not found.\n");
}

TEST_F(DispatchTest, ListsCommandsInDeclarationOrder) {
    const std::string rule(73, '=');
    ServerCommandConnector listing("", ServerCommand::SecurityLevel0, Net::Guid());
    commander.ListServerCommands(listing);
    EXPECT_EQ(listing.GetOutput(),
              "Commands\n" + rule + "\n" +
                  "say[1] Level0 : Says a text\n"
                  "none[0] Level0 : Takes nothing\n"
                  "five[5] Level0 : Joins five\n"
                  "six[6] Level0 : Never runs\n"
                  "whoami[0] Level0 : Shows the run\n"
                  "kick[1] Level2 : Removes a player\n"
                  "undefined[0] Level0 : Has no function\n"
                  "fails[0] Level0 : Raises an error\n"
                  "failstable[0] Level0 : Raises a table\n"
                  "failsnumber[0] Level0 : Raises a number\n"
                  "say[2] Level0 : Second declaration\n");

    ServerCommander empty;
    ServerCommandConnector none("", ServerCommand::SecurityLevel0, Net::Guid());
    empty.ListServerCommands(none);
    EXPECT_EQ(none.GetOutput(), "Commands\n" + rule + "\n");
}

TEST_F(DispatchTest, LongTextsReachTheOutputWhole) {
    const std::string description(3000, 'd');
    commander.AddServerCommand(ServerCommand("long", description, 0, ServerCommand::SecurityLevel0));
    EXPECT_EQ(Run("long x"), "Wrong number of arguments 1 for long[0]\n" + description + "\n");
    const std::string name(2000, 'n');
    EXPECT_EQ(Run(name), "Command '" + name + "' not found.\n");
}

TEST_F(DispatchTest, LeavesNothingOnTheLuaStack) {
    for (const char* line : {"say hi", "fails", "failstable", "undefined", "nothing", "say"})
        Run(line);
    ServerCommandConnector reload("", ServerCommand::SecurityLevel0, Net::Guid());
    commander.ReloadLuaScripts(reload);
    commander.CollectGarbage();
    auto lock = commander.Lock();
    EXPECT_EQ(lua_gettop(commander.GetLuaState()), 0);
}

}  // namespace
}  // namespace Tav
