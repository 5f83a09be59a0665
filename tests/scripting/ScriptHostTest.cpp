// The script host's life cycle: start-up, reloads, the garbage step, the
// globals, closing, and entries from several threads.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include "ScriptFixture.h"
#include "scripting/IScriptServer.h"
#include "entities/LuaBind.h"

namespace Tav {
namespace {

using Testing::ScriptFixture;
using ::testing::HasSubstr;
using ::testing::StartsWith;

class ScriptHostTest : public ScriptFixture {};

TEST_F(ScriptHostTest, StartUpPrintsLoadedScriptsAndMarksScriptingReady) {
    EXPECT_EQ(Start("declare('say', 1, 'Says')"), "Loaded scripts\n");
    EXPECT_TRUE(g_scriptsReady);
}

TEST_F(ScriptHostTest, StartUpPrintsTheScriptsError) {
    struct Case {
        const char* body;
        std::string expected;  // a part of the printed error
    };
    const std::string path = scriptPath.string();
    const std::vector<Case> cases = {
        {"this is not lua", path + ":"},
        {"error('boom', 0)", "boom"},
        {"error(setmetatable({}, {}))", "(error object is a table value)"},
    };
    for (const Case& c : cases) {
        const std::string printed = Start(c.body);
        EXPECT_THAT(printed, HasSubstr(c.expected)) << c.body;
        EXPECT_EQ(printed.find("Loaded scripts"), std::string::npos);
        EXPECT_EQ(printed.back(), '\n');
        EXPECT_EQ(printed.find('\n'), printed.size() - 1) << printed;
        EXPECT_TRUE(g_scriptsReady);
        commander.Close();
    }
}

TEST_F(ScriptHostTest, MissingScriptLeavesAServerWithoutCommands) {
    commander.SetMainScriptPath((folder / "absent.lua").string());
    ::testing::internal::CaptureStdout();
    commander.InitLua(nullptr);
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                StartsWith("cannot open " + (folder / "absent.lua").string()));
    EXPECT_EQ(Run("help"), "Command 'help' not found.\n");
    commander.CollectGarbage();
}

TEST_F(ScriptHostTest, WhatAFailingScriptDidBeforeItsErrorStays) {
    const std::string printed = Start(R"lua(
declare("say", 1, "Says")
function say(c, t) c:Print(t) end
error("late failure", 0)
)lua");
    EXPECT_EQ(printed, "late failure\n");
    EXPECT_EQ(Run("say hi"), "hi");
}

TEST_F(ScriptHostTest, ReloadsWithAndWithoutClearing) {
    const char* counting = R"lua(
runs = (runs or 0) + 1
declare("say", runs, "run " .. runs)
declare("reload", 0, "Reloads")
function reload(c) ServerCommander:ReloadLuaScripts(c) end
)lua";
    ASSERT_EQ(Start(counting), "Loaded scripts\n");
    // A reload from inside a command runs in the same state and lock.
    EXPECT_EQ(Run("reload"), "Loaded scripts");
    ServerCommandConnector listing("", ServerCommand::SecurityLevel0, Net::Guid());
    commander.ListServerCommands(listing);
    EXPECT_THAT(listing.GetOutput(), HasSubstr("say[1] Level0 : run 1\nreload[0] Level0 : Reloads\n"
                                               "say[2] Level0 : run 2\nreload[0] Level0 : Reloads\n"));
    EXPECT_EQ(Run("say a b"), "Wrong number of arguments 2 for say[1]\nrun 1\n");

    WriteScript(std::string("ServerCommander:ClearLuaCommands()\n") + counting);
    EXPECT_EQ(Run("reload"), "Loaded scripts");
    ServerCommandConnector cleared("", ServerCommand::SecurityLevel0, Net::Guid());
    commander.ListServerCommands(cleared);
    EXPECT_EQ(cleared.GetOutput(), "Commands\n" + std::string(73, '=') +
                                       "\nsay[3] Level0 : run 3\nreload[0] Level0 : Reloads\n");

    // A reload that fails reports the error to the command that asked for it.
    WriteScript("ServerCommander:ClearLuaCommands()\nerror('broken now', 0)");
    EXPECT_EQ(Run("reload"), "broken now");
    EXPECT_EQ(Run("reload"), "Command 'reload' not found.\n");
}

TEST_F(ScriptHostTest, ScriptsSeeTheInterfaceAndTheGlobals) {
    struct FakeServer : IScriptServer {
        bool SpawnPhysicsEntity() override { return false; }
        std::string ImportTestLXFML() override { return ""; }
        std::string ImportBase64LXFML(ServerCommandConnector&, const std::string&) override { return ""; }
        std::string UndoImportLXFML(ServerCommandConnector&) override { return ""; }
    };
    FakeServer server;
    ASSERT_EQ(Start(R"lua(
declare("probe", 0, "Probes")
function probe(c)
    local libraries = {"_G", "package", "coroutine", "table", "io", "os", "string",
                       "bit32", "math", "debug"}
    for _, name in ipairs(libraries) do
        if type(_G[name]) ~= "table" then c:Print("missing " .. name .. ";") end
    end
    if next(package.preload) ~= nil then c:Print("preload not empty;") end
    c:Print(tostring(ServerCommand.SecurityLevel0) .. tostring(ServerCommand.SecurityLevel1) ..
            tostring(ServerCommand.SecurityLevel2) .. ";")
    local command = ServerCommand("n", "d", 3, ServerCommand.SecurityLevel2)
    c:Print(command:GetName() .. command:GetDescription() .. command:GetNumParams() ..
            command:GetSecurityLevel() .. ";")
    c:Print(type(ServerInstance) .. " " .. type(EntityManager) .. " " .. type(ServerCommander) .. ";")
    c:Print(tostring(pcall(Server)) .. " " .. tostring(pcall(ServerCommandConnector)) .. ";")
    c:Print(tostring(pcall(function() c:Print(1, 2) end)))
end
declare("keep", 0, "Declares a command from a temporary object")
function keep(c)
    do ServerCommander:AddServerCommand(ServerCommand("kept", "stays", 0, ServerCommand.SecurityLevel1)) end
    collectgarbage("collect")
end
)lua",
                    &server),
              "Loaded scripts\n");
    EXPECT_EQ(Run("probe"), "012;nd32;userdata userdata userdata;false false;false");

    EXPECT_EQ(Run("keep"), "");
    commander.CollectGarbage();
    ServerCommandConnector listing("", ServerCommand::SecurityLevel0, Net::Guid());
    commander.ListServerCommands(listing);
    EXPECT_THAT(listing.GetOutput(), HasSubstr("kept[0] Level1 : stays\n"));
}

TEST_F(ScriptHostTest, ServerInstanceIsNilWithoutAServer) {
    ASSERT_EQ(Start("declare('probe', 0, 'Probes')\n"
                    "function probe(c) c:Print(type(ServerInstance)) end"),
              "Loaded scripts\n");
    EXPECT_EQ(Run("probe"), "nil");
}

TEST_F(ScriptHostTest, GarbageStepSurvivesABrokenCollectgarbage) {
    ASSERT_EQ(Start(R"lua(
declare("record", 0, "Records the garbage step's argument")
function record(c) collectgarbage = function(option) gcOption = option end end
declare("seen", 0, "Shows the recorded argument")
function seen(c) c:Print(tostring(gcOption)) end
declare("breakgc", 0, "Replaces collectgarbage with a failing one")
function breakgc(c) collectgarbage = function() error("no collection here", 0) end end
declare("removegc", 0, "Removes collectgarbage")
function removegc(c) collectgarbage = nil end
)lua"),
              "Loaded scripts\n");
    Run("record");
    commander.CollectGarbage();
    EXPECT_EQ(Run("seen"), "collect");

    Run("breakgc");
    ::testing::internal::CaptureStdout();
    commander.CollectGarbage();
    commander.CollectGarbage();  // the same failure is reported once
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Script garbage collection failed: no collection here\n");

    Run("removegc");
    ::testing::internal::CaptureStdout();
    commander.CollectGarbage();
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Script garbage collection failed: attempt to call a nil value\n");
    EXPECT_EQ(Run("seen"), "collect");

    auto lock = commander.Lock();
    EXPECT_EQ(lua_gettop(commander.GetLuaState()), 0);
}

TEST_F(ScriptHostTest, UserdataIsFullyAligned) {
    // luabind constructs its objects inside userdata blocks.
    ASSERT_EQ(Start(""), "Loaded scripts\n");
    auto lock = commander.Lock();
    lua_State* L = commander.GetLuaState();
    for (size_t size : {1u, 24u, 100u}) {
        const auto address = reinterpret_cast<uintptr_t>(lua_newuserdata(L, size));
        EXPECT_EQ(address % alignof(std::max_align_t), 0u) << size;
        lua_pop(L, 1);
    }
}

TEST_F(ScriptHostTest, EntriesAfterCloseAreHarmless) {
    ASSERT_EQ(Start("declare('say', 1, 'Says')\nfunction say(c, t) c:Print(t) end"),
              "Loaded scripts\n");
    commander.Close();
    EXPECT_EQ(commander.GetLuaState(), nullptr);
    EXPECT_EQ(Run("say hi"), "Scripting is not available.\n");
    commander.CollectGarbage();
    ServerCommandConnector reload("", ServerCommand::SecurityLevel0, Net::Guid());
    commander.ReloadLuaScripts(reload);
    EXPECT_EQ(reload.GetOutput(), "Scripting is not available.");
    commander.Close();
}

TEST_F(ScriptHostTest, DefaultMainScriptIsTwoFoldersUp) {
    EXPECT_EQ(ServerCommander().GetMainScriptPath(), "../../assets/lua/Main.lua");
    Testing::WriteFile(folder / "assets/lua/Main.lua", std::string(Testing::kDeclareHelper) +
                                                           "declare('here', 0, 'Found')\n"
                                                           "function here(c) c:Print('found') end");
    std::filesystem::create_directories(folder / "run/server");
    const std::filesystem::path previous = std::filesystem::current_path();
    std::filesystem::current_path(folder / "run/server");
    ServerCommander host;
    ::testing::internal::CaptureStdout();
    host.InitLua(nullptr);
    const std::string printed = ::testing::internal::GetCapturedStdout();
    std::filesystem::current_path(previous);
    EXPECT_EQ(printed, "Loaded scripts\n");
    EXPECT_EQ(host.Execute(Net::Guid(1), "here").GetOutput(), "found");
    host.Close();
}

TEST_F(ScriptHostTest, ThreadsEnterTheStateOneAtATime) {
    ASSERT_EQ(Start(R"lua(
ServerCommander:ClearLuaCommands()
ServerCommander:ClearAllAliases()
count = count or 0
declare("bump", 1, "Counts")
function bump(c, who)
    local before = count
    for i = 1, 50 do local t = {i} end
    count = before + 1
    c:Print(who)
end
declare("total", 0, "Shows the count")
function total(c) c:Print(tostring(count)) end
declare("reload", 0, "Reloads")
function reload(c) ServerCommander:ReloadLuaScripts(c) end
ServerCommander:AddAlias("bump", "b")
)lua"),
              "Loaded scripts\n");
    constexpr int kRuns = 200;
    std::atomic<bool> stop{false};
    std::atomic<int> wrong{0};
    auto worker = [&](const std::string& who, bool reloads) {
        for (int i = 0; i < kRuns; ++i) {
            if (commander.Execute(Net::Guid(1), "b " + who).GetOutput() != who) ++wrong;
            if (reloads && i % 20 == 0 &&
                commander.Execute(Net::Guid(1), "reload").GetOutput() != "Loaded scripts")
                ++wrong;
        }
    };
    std::thread collector([&] {
        while (!stop) commander.CollectGarbage();
    });
    std::thread console(worker, "console", false);
    std::thread network(worker, "network", true);
    console.join();
    network.join();
    stop = true;
    collector.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(Run("total"), std::to_string(2 * kRuns));
}

}  // namespace
}  // namespace Tav
