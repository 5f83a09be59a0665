// Waiting for the Lua state: a command line waits only so long, an
// interrupted host lets every waiting entry go, and the shut-down learns
// which thread a script that no hook stops is holding.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "ScriptFixture.h"

namespace Tav {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A finaliser runs with the time limits' hook off: this one spins until the
// test lets it go, whatever the host does meanwhile.
std::atomic<bool> g_finaliserRunning{false};
std::atomic<bool> g_finaliserReleased{false};

int Released(lua_State* L) {
    g_finaliserRunning = true;
    lua_pushboolean(L, g_finaliserReleased.load());
    return 1;
}

constexpr const char* kScript = R"lua(
declare("say", 1, "Says") function say(c, t) c:Print(t) end
declare("hang", 0, "Leaves a finaliser that spins")
function hang(c)
    setmetatable({}, {__gc = function() while not released() do end end})
    collectgarbage()
end
)lua";

// Holds the Lua lock on a thread of its own until released (or, so that a
// fault cannot hang the test, until a few seconds have passed).
class Holder {
public:
    explicit Holder(ServerCommander& commander) {
        thread_ = std::thread([this, &commander] {
            auto lock = commander.Lock();
            held_ = true;
            const auto end = Clock::now() + 3s;
            while (!release_ && Clock::now() < end) std::this_thread::sleep_for(1ms);
            held_ = false;
        });
        while (!held_) std::this_thread::yield();
        id_ = thread_.get_id();
    }
    ~Holder() { Release(); }
    void Release() {
        release_ = true;
        if (thread_.joinable()) thread_.join();
    }
    bool Held() const { return held_; }
    std::thread::id Id() const { return id_; }

private:
    std::thread thread_;
    std::thread::id id_;
    std::atomic<bool> held_{false};
    std::atomic<bool> release_{false};
};

class LuaLockTest : public Testing::ScriptFixture {
protected:
    void SetUp() override {
        ScriptFixture::SetUp();
        ASSERT_EQ(Start(kScript), "Loaded scripts\n");
        auto lock = commander.Lock();
        lua_register(commander.GetLuaState(), "released", Released);
    }
    void SetWait(double seconds) {
        ScriptTimeLimits limits;
        limits.commandWait = seconds;
        commander.SetTimeLimits(limits);
    }
};

TEST_F(LuaLockTest, ACommandWaitsForABusyStateOnlyItsWaitingTime) {
    SetWait(0.2);
    {
        Holder holder(commander);
        EXPECT_EQ(Run("say hello"), "The command was not run: the scripts have been busy for more than 0.2 s.\n");
        EXPECT_TRUE(holder.Held()) << "the command waited for the holder";
    }
    EXPECT_EQ(Run("say hello"), "hello");
}

TEST_F(LuaLockTest, AnInterruptLetsEveryWaitingEntryGoAtOnce) {
    SetWait(600.0);  // only the interrupt can let the command go
    Holder holder(commander);
    std::atomic<int> returned{0};
    std::string output;
    std::thread console([&] {
        output = Run("say hello");
        ++returned;
    });
    std::thread worker([&] {
        commander.CollectGarbage();
        commander.UpdateHeldItems(0.01);
        ++returned;
    });
    std::this_thread::sleep_for(50ms);  // both wait for the holder by now
    EXPECT_EQ(returned.load(), 0);
    commander.Interrupt();
    while (returned.load() < 2 && holder.Held()) std::this_thread::yield();
    EXPECT_TRUE(holder.Held()) << "the entries waited for the holder after the interrupt";
    holder.Release();
    console.join();
    worker.join();
    EXPECT_EQ(output, "Scripting is not available.\n");
}

TEST_F(LuaLockTest, AFinaliserThatNoHookStopsHoldsOnlyItsOwnThread) {
    ScriptTimeLimits limits;
    limits.command = 0.1;  // a hook would have stopped it long ago
    limits.commandWait = 600.0;
    commander.SetTimeLimits(limits);
    g_finaliserRunning = false;
    g_finaliserReleased = false;
    EXPECT_EQ(commander.AwaitScriptsStopped(Clock::now() + 1s, [] { return false; }), std::thread::id());
    std::string hung;
    std::thread client([&] { hung = Run("hang"); });
    // Let go after a while in any case, so that a fault fails the test
    // instead of hanging it.
    std::atomic<bool> done{false};
    std::thread watchdog([&] {
        const auto end = Clock::now() + 5s;
        while (!done && Clock::now() < end) std::this_thread::sleep_for(1ms);
        g_finaliserReleased = true;
    });
    while (!g_finaliserRunning) std::this_thread::yield();
    const std::thread::id clientId = client.get_id();

    std::this_thread::sleep_for(300ms);
    commander.Interrupt();
    // The interrupt does not reach it either: the shut-down is told who
    // holds the state, at its deadline or when it gives up.
    EXPECT_EQ(commander.AwaitScriptsStopped(Clock::now() + 200ms, [] { return false; }), clientId);
    EXPECT_EQ(commander.AwaitScriptsStopped(Clock::now() + 600s, [] { return true; }), clientId);
    // Every other entry goes at once.
    EXPECT_EQ(Run("say hello"), "Scripting is not available.\n");
    commander.CollectGarbage();

    EXPECT_FALSE(g_finaliserReleased.load()) << "an entry waited for the finaliser";
    done = true;
    watchdog.join();
    client.join();
    EXPECT_EQ(commander.AwaitScriptsStopped(Clock::now() + 1s, [] { return false; }), std::thread::id());
}

}  // namespace
}  // namespace Tav
