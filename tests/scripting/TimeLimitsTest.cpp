// Scripts that never end: every entry into the state is stopped at its time
// limit, and a shut-down stops a running script at once.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "ScriptFixture.h"

namespace Tav {
namespace {

using ::testing::HasSubstr;

constexpr const char* kLoops = R"lua(
declare("run", 1, "Runs one of the loops")
loops = {
    plain = function() while true do end end,
    caught = function() while true do pcall(function() while true do end end) end end,
    coroutine = function()
        local co = coroutine.wrap(function() while true do end end)
        while true do pcall(co) end
    end,
    recursion = function() local function f() return f() end f() end,
    metamethod = function() return setmetatable({}, {__index = function() while true do end end}).x end,
    reload = function() ServerCommander:ReloadLuaScripts(connector) while true do end end,
}
function run(c, name) connector = c loops[name]() end
declare("count", 1, "Counts to its argument")
function count(c, n) local i = 0 while i < tonumber(n) do i = i + 1 end c:Print(tostring(i)) end
)lua";

class TimeLimitsTest : public Testing::ScriptFixture {
protected:
    void SetUp() override {
        ScriptFixture::SetUp();
        ScriptTimeLimits limits;
        limits.command = 0.2;
        commander.SetTimeLimits(limits);
    }
};

TEST_F(TimeLimitsTest, ACommandThatNeverEndsIsStoppedAtItsLimit) {
    ASSERT_EQ(Start(kLoops), "Loaded scripts\n");
    for (const char* loop : {"plain", "caught", "coroutine", "recursion", "metamethod", "reload"}) {
        const std::string output = Run(std::string("run ") + loop);
        EXPECT_THAT(output, HasSubstr("Script stopped: a command may run for at most 0.2 s.")) << loop;
        EXPECT_EQ(output.back(), '\n') << loop;
    }
    // A command after a stopped one runs under a deadline of its own (a
    // generous one here, so that a slow machine cannot cut it short).
    ScriptTimeLimits generous;
    generous.command = 600.0;
    commander.SetTimeLimits(generous);
    EXPECT_EQ(Run("count 300000"), "300000");
}

TEST_F(TimeLimitsTest, AMainScriptThatNeverEndsIsStoppedAtStartUpAndOnReload) {
    EXPECT_THAT(Start("while true do end"), HasSubstr("Script stopped: the main script may run for at most 0.2 s."));
    EXPECT_TRUE(g_scriptsReady);
    commander.Close();
    ASSERT_EQ(Start(std::string(kLoops) + "if spin then while true do end end"), "Loaded scripts\n");
    Eval("spin = true");
    ServerCommandConnector reload("", ServerCommand::SecurityLevel0, Net::Guid());
    commander.ReloadLuaScripts(reload);
    EXPECT_THAT(reload.GetOutput(), HasSubstr("Script stopped: the main script may run for at most 0.2 s."));
}

TEST_F(TimeLimitsTest, AGarbageStepThatNeverEndsIsStopped) {
    ASSERT_EQ(Start(kLoops), "Loaded scripts\n");
    Eval("collectgarbage = function() while true do end end");
    ::testing::internal::CaptureStdout();
    commander.CollectGarbage();
    EXPECT_THAT(::testing::internal::GetCapturedStdout(),
                HasSubstr("Script garbage collection failed: Script stopped: the garbage step may run for at most 0.05 s."));
}

std::atomic<bool> g_looping{false};

int Looping(lua_State*) {
    g_looping = true;
    return 0;
}

TEST_F(TimeLimitsTest, AShutDownStopsARunningScriptAtOnce) {
    ScriptTimeLimits limits;
    limits.command = 3600.0;  // only the shut-down can stop it
    commander.SetTimeLimits(limits);
    ASSERT_EQ(Start(kLoops + std::string("function spin(c) looping() while true do end end\n"
                                         "declare('spin', 0, 'Spins')\n"
                                         "declare('say', 1, 'Says') function say(c, t) c:Print(t) end")),
              "Loaded scripts\n");
    {
        auto lock = commander.Lock();
        lua_register(commander.GetLuaState(), "looping", Looping);
    }
    g_looping = false;
    std::string output;
    std::thread console([&] { output = Run("spin"); });
    while (!g_looping) std::this_thread::yield();
    commander.Interrupt();
    console.join();
    EXPECT_THAT(output, HasSubstr("Script stopped: the server is shutting down."));
    // Nothing runs any more.
    EXPECT_EQ(Run("say hello"), "Scripting is not available.\n");
    ::testing::internal::CaptureStdout();
    commander.CollectGarbage();
    commander.UpdateHeldItems(0.1);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
}

}  // namespace
}  // namespace Tav
