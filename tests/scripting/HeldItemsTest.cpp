// The held-item step as the chunk worker runs it: a real ServerChunker's
// worker step (garbage step, item updates, queues, pause) over a real Lua
// state and players in the process's registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "ScriptFixture.h"
#include "world/ServerChunker.h"

namespace Tav {
namespace {

using ::testing::HasSubstr;
using Testing::RegisteredPlayers;
using namespace std::chrono_literals;

// The part of the server that the worker step calls into scripts through.
class ScriptingHost : public IChunkHost {
public:
    explicit ScriptingHost(ServerCommander& commander) : commander_(commander) {}
    void SendChunks(const TouchedSet&, const Net::AddressOrGuid&, int, bool) override {}
    void SendChunkEntries(uint32_t, const Net::BitStream&, const Net::AddressOrGuid&, int, bool) override {}
    void SpawnPlayer(Net::Guid, const Vector3&) override {}
    void CollectScriptGarbage() override { commander_.CollectGarbage(); }
    void UpdateHeldItems(double dt) override { commander_.UpdateHeldItems(dt); }
    void ForEachPlayerPosition(const std::function<void(const Vector3&)>&) override {}

private:
    ServerCommander& commander_;
};

// Item classes of the tests. Each Recorder appends "name:player:dt" to calls.
constexpr const char* kItems = R"lua(
calls = {}
items = {}
function player(n)
    for p in EntityManager.Players do if p:GetGuidAsInteger() == n then return p end end
end
function give(n, item) player(n):SetItem(item) return 0 end
function taken() local text = table.concat(calls, ' ') calls = {} return text end

class 'Recorder' (Item)
function Recorder:__init(name) Item.__init(self) self.name = name end
function Recorder:Update(dt, p)
    calls[#calls + 1] = self.name .. ':' .. p:GetGuidAsInteger() .. ':' .. string.format('%.3f', dt)
end

class 'Failing' (Item)
function Failing:__init(message) Item.__init(self) self.message = message end
function Failing:Update(dt, p) error(self.message, 0) end

class 'Spinning' (Item)
function Spinning:__init() Item.__init(self) end
function Spinning:Update(dt, p) while true do end end

class 'Watching' (Item)
function Watching:__init() Item.__init(self) end
function Watching:Update(dt, p) duringUpdate() p:GetGuidAsInteger() end

class 'Quiet' (Item)
function Quiet:__init() Item.__init(self) end
)lua";

class HeldItemsTest : public Testing::ScriptFixture {
protected:
    void SetUp() override {
        ScriptFixture::SetUp();
        ASSERT_EQ(Start(kItems), "Loaded scripts\n");
        chunker = std::make_unique<ServerChunker>(nullptr, &host, (folder / "world.db").string());
    }
    void TearDown() override {
        chunker.reset();
        ScriptFixture::TearDown();
    }

    // One worker step, with what it printed.
    std::string Step() {
        ::testing::internal::CaptureStdout();
        chunker->Update();
        return ::testing::internal::GetCapturedStdout();
    }

    ScriptingHost host{commander};
    std::unique_ptr<ServerChunker> chunker;
    RegisteredPlayers players;
};

TEST_F(HeldItemsTest, OnlyPlayersThatHoldAnItemAreUpdatedInRegistrationOrder) {
    players.Add(1);
    players.Add(2);
    EXPECT_EQ(Step(), "");
    EXPECT_EQ(Eval("return taken()"), "");

    ASSERT_EQ(Eval("items.b = Recorder('b'); return give(2, items.b)"), "0");
    Step();
    EXPECT_THAT(Eval("return taken()"), ::testing::MatchesRegex("b:2:0\\.[0-9]+"));

    ASSERT_EQ(Eval("items.a = Recorder('a'); return give(1, items.a)"), "0");
    Step();
    EXPECT_THAT(Eval("return taken()"), ::testing::MatchesRegex("a:1:0\\.[0-9]+ b:2:0\\.[0-9]+"));
}

TEST_F(HeldItemsTest, AnItemWithoutAnUpdateOfItsOwnRunsTheDefaultOnEveryStep) {
    players.Add(1);
    players.Add(2);
    ASSERT_EQ(Eval("items.plain = Item(); items.quiet = Quiet(); give(1, items.plain); return give(2, items.quiet)"),
              "0");
    EXPECT_EQ(Step(), "Base update, should not run!\nBase update, should not run!\n");
    EXPECT_EQ(Step(), "Base update, should not run!\nBase update, should not run!\n");
}

TEST_F(HeldItemsTest, TheTimeOfAStepIsCappedAtATenthOfASecond) {
    players.Add(1);
    ASSERT_EQ(Eval("items.a = Recorder('a'); return give(1, items.a)"), "0");
    Step();
    Eval("return taken()");
    Step();  // follows right after the previous step and its 16 ms pause
    const double normal = std::stod(Eval("return taken()").substr(4));
    EXPECT_GT(normal, 0.0);
    EXPECT_LE(normal, 0.1);
    std::this_thread::sleep_for(250ms);  // a step that stalled
    Step();
    EXPECT_EQ(Eval("return taken()"), "a:1:0.100");
}

TEST_F(HeldItemsTest, AnItemWhoseScriptObjectWasCollectedIsSkipped) {
    players.Add(1);
    players.Add(2);
    // The script keeps no reference to the first item: the garbage step at
    // the start of the worker step collects it.
    ASSERT_EQ(Eval("give(1, Recorder('dropped')); items.kept = Recorder('kept'); return give(2, items.kept)"), "0");
    EXPECT_EQ(Step(), "");
    EXPECT_THAT(Eval("return taken()"), ::testing::MatchesRegex("kept:2:0\\.[0-9]+"));
    EXPECT_EQ(Step(), "");
    EXPECT_THAT(Eval("return taken()"), ::testing::MatchesRegex("kept:2:0\\.[0-9]+"));
}

TEST_F(HeldItemsTest, AFailingUpdateIsReportedOnceAndTheNextPlayerStillRuns) {
    players.Add(1);
    players.Add(2);
    players.Add(3);
    ASSERT_EQ(Eval("items.f = Failing('the gust broke'); give(1, items.f); items.g = Failing('the gust broke');"
                   "give(2, items.g); items.r = Recorder('r'); return give(3, items.r)"),
              "0");
    EXPECT_EQ(Step(), "Item update failed: the gust broke\n");
    EXPECT_EQ(Step(), "");
    ASSERT_EQ(Eval("items.f.message = 'the gust broke again'; return 0"), "0");
    EXPECT_EQ(Step(), "Item update failed: the gust broke again\n");
    EXPECT_EQ(Step(), "");
    EXPECT_THAT(Eval("return taken()"), ::testing::MatchesRegex("(r:3:0\\.[0-9]+ ?){4}"));
}

TEST_F(HeldItemsTest, AnUpdateThatNeverEndsIsStoppedAtItsLimit) {
    players.Add(1);
    players.Add(2);
    ASSERT_EQ(Eval("items.s = Spinning(); give(1, items.s); items.r = Recorder('r'); return give(2, items.r)"), "0");
    EXPECT_THAT(Step(), HasSubstr("Item update failed: Script stopped: an item update may run for at most 0.05 s."));
    EXPECT_THAT(Eval("return taken()"), ::testing::MatchesRegex("r:2:0\\.[0-9]+"));
    // The next step runs both again; the repeated failure is not reported again.
    EXPECT_EQ(Step(), "");
    EXPECT_THAT(Eval("return taken()"), ::testing::MatchesRegex("r:2:0\\.[0-9]+"));
}

// Set by the test, run once by the script's duringUpdate().
std::function<void()> g_duringUpdate;

int DuringUpdate(lua_State*) {
    std::function<void()> once;
    once.swap(g_duringUpdate);
    if (once) once();
    return 0;
}

TEST_F(HeldItemsTest, APlayerLeavesWithoutWaitingForItsItemsScript) {
    Player* leaving = players.Add(1);
    players.Add(2);
    {
        auto lock = commander.Lock();
        lua_register(commander.GetLuaState(), "duringUpdate", DuringUpdate);
    }
    ASSERT_EQ(Eval("items.w = Watching(); give(1, items.w); items.r = Recorder('r'); return give(2, items.r)"), "0");

    // While the first item's script runs (holding the Lua lock), the network
    // thread deletes its player: the deletion waits for neither.
    bool deletedDuringUpdate = false;
    std::future<void> deletion;
    g_duringUpdate = [&] {
        deletion = std::async(std::launch::async, [&] { players.Remove(leaving); });
        deletedDuringUpdate = deletion.wait_for(10s) == std::future_status::ready;
    };
    const std::string printed = Step();
    deletion.wait();
    EXPECT_TRUE(deletedDuringUpdate);
    EXPECT_EQ(printed, "Item update failed: The player has left the server.\n");
    EXPECT_THAT(Eval("return taken()"), ::testing::MatchesRegex("r:2:0\\.[0-9]+"));
    EXPECT_EQ(Step(), "");
    EXPECT_THAT(Eval("return taken()"), ::testing::MatchesRegex("r:2:0\\.[0-9]+"));
}

TEST_F(HeldItemsTest, APlayerThatHoldsAnItemIsDeletedWhileAScriptRuns) {
    Player* leaving = players.Add(1);
    ASSERT_EQ(Eval("items.r = Recorder('r'); return give(1, items.r)"), "0");
    {
        // The Lua lock is held, as by a long command: the deletion on the
        // network thread does not wait for it.
        auto lock = commander.Lock();
        auto deletion = std::async(std::launch::async, [&] { players.Remove(leaving); });
        EXPECT_EQ(deletion.wait_for(10s), std::future_status::ready);
    }
    // Its item's link is released by the next entry, and the item itself is
    // still the script's.
    EXPECT_EQ(Step(), "");
    EXPECT_EQ(Eval("return items.r.name"), "r");
}

}  // namespace
}  // namespace Tav
