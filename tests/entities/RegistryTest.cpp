// The entity registry: the factory, registration rules, the listener, and
// the lifetime of players held by other threads while one deletes them.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "EntityTestSupport.h"
#include "entities/EntityManager.h"
#include "entities/PhysicsEntity.h"
#include "entities/Player.h"

using namespace Tav;

namespace {

struct RecordingListener : IEntityListener {
    void PlayerAdded(Player*) override { log += "P+"; }
    void PlayerRemoved(Player*) override { log += "P-"; }
    void EntityAdded(PhysicsEntity*) override { log += "E+"; }
    void EntityRemoved(PhysicsEntity*) override { log += "E-"; }
    std::string log;
};

// Polls until the condition holds or the deadline passes.
template <class F>
bool WaitFor(F condition, std::chrono::milliseconds deadline = std::chrono::milliseconds(5000)) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

class RegistryTest : public ::testing::Test {
protected:
    void SetUp() override { TavTest::EnsureCatalogue(); }
    void TearDown() override {
        g_entityManager.SetListener(nullptr);
        EXPECT_EQ(g_entityManager.GetPlayerCount(), 0u);
    }
    TavTest::FakeHost server{1, true};
};

TEST_F(RegistryTest, FactoryNamesAreExact) {
    struct Case {
        const char* name;
        const char* made;  // type name of the result, null for none
    };
    const Case cases[] = {{"Player", "Player"},       {"PhysicsEntity", "PhysicsEntity"},
                          {"player", nullptr},        {"Player ", nullptr},
                          {"PHYSICSENTITY", nullptr}, {"", nullptr},
                          {"BaseEntity", nullptr}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BaseEntity* made = g_entityManager.CreateByTypeName(c.name, &server);
        BaseEntity* spawned = g_entityManager.Spawn(c.name, Net::Guid(5), &server, Vector3(1, 2, 3));
        if (c.made == nullptr) {
            EXPECT_EQ(made, nullptr);
            EXPECT_EQ(spawned, nullptr);
            continue;
        }
        ASSERT_NE(made, nullptr);
        ASSERT_NE(spawned, nullptr);
        EXPECT_STREQ(made->GetTypeName(), c.made);
        EXPECT_TRUE(made->guid.IsUnassigned());
        EXPECT_EQ(made->GetPosition(false), Vector3(0, 0, 0));
        EXPECT_EQ(spawned->guid, Net::Guid(5));
        EXPECT_EQ(spawned->GetPosition(false), Vector3(1, 2, 3));
        delete made;
        delete spawned;
    }
    EXPECT_EQ(g_entityManager.CreateByTypeName(nullptr, &server), nullptr);
}

TEST_F(RegistryTest, RegistrationRulesAndListener) {
    RecordingListener listener;
    g_entityManager.SetListener(&listener);

    auto* first = static_cast<Player*>(g_entityManager.Spawn("Player", Net::Guid(10), &server, Vector3()));
    auto* second = static_cast<Player*>(g_entityManager.Spawn("Player", Net::Guid(10), &server, Vector3()));
    auto* third = static_cast<Player*>(g_entityManager.Spawn("Player", Net::Guid(11), &server, Vector3()));
    EXPECT_EQ(g_entityManager.FindPlayerByGuid(Net::Guid(10)), first);  // the first registered wins
    EXPECT_EQ(g_entityManager.FindPlayerByGuid(Net::Guid(11)), third);
    EXPECT_EQ(g_entityManager.FindPlayerByGuid(Net::Guid(12)), nullptr);
    EXPECT_EQ(g_entityManager.GetLocalPlayer(), nullptr);  // never on the server

    // Registered twice: both entries go with one removal; the object stays.
    g_entityManager.AddPlayer(third);
    EXPECT_EQ(g_entityManager.GetPlayerCount(), 4u);
    g_entityManager.RemovePlayer(third);
    EXPECT_EQ(g_entityManager.GetPlayerCount(), 2u);
    EXPECT_EQ(g_entityManager.FindPlayerByGuid(Net::Guid(11)), nullptr);
    third->PushPlayer(Vector3(1, 0, 0));  // still a live object
    delete third;                         // unlisted: nothing more to remove

    g_entityManager.RemovePlayer(first);
    EXPECT_EQ(g_entityManager.FindPlayerByGuid(Net::Guid(10)), second);
    delete first;
    // A plain delete of a registered player unregisters it as well.
    delete second;
    EXPECT_EQ(g_entityManager.FindPlayerByGuid(Net::Guid(10)), nullptr);

    {
        PhysicsEntity box(Vector3(), &server, server.me);
    }
    EXPECT_EQ(listener.log, "P+P+P+P+P-P-P-E+E-");
}

TEST_F(RegistryTest, CopiesAreInRegistrationOrderAndOutliveRemoval) {
    auto* a = static_cast<Player*>(g_entityManager.Spawn("Player", Net::Guid(1), &server, Vector3()));
    auto* b = static_cast<Player*>(g_entityManager.Spawn("Player", Net::Guid(2), &server, Vector3()));
    std::vector<PlayerRef> copy = g_entityManager.CopyPlayers();
    ASSERT_EQ(copy.size(), 2u);
    EXPECT_EQ(copy[0].get(), a);
    EXPECT_EQ(copy[1].get(), b);
    EXPECT_EQ(g_entityManager.CopyPlayerPointers(), (std::vector<Player*>{a, b}));

    size_t walked = 0;
    g_entityManager.ForEachPlayerLocked([&](const std::vector<Player*>& players) { walked = players.size(); });
    EXPECT_EQ(walked, 2u);

    // Refs to an unregistered player cannot be taken; copies of held ones can.
    g_entityManager.RemovePlayer(b);
    EXPECT_FALSE(g_entityManager.FindPlayerRefByGuid(Net::Guid(2)));
    PlayerRef again = copy[1];
    EXPECT_EQ(again.get(), b);
    copy.clear();
    again.Reset();
    g_entityManager.DeletePlayer(b);
    g_entityManager.DeletePlayer(a);
}

// The network thread deletes a player while the chunk worker still holds it:
// the deletion waits until the worker lets go, and the worker's use is safe.
TEST_F(RegistryTest, DeletionWaitsForHoldersOnOtherThreads) {
    const BrickType& type0 = BrickCatalogue::Types()[0];
    {
        PlayerRef spawned = g_entityManager.SpawnPlayer(Net::Guid(99), &server, Vector3(0, 10, 0));
        ASSERT_TRUE(spawned);
        EXPECT_EQ(g_entityManager.FindPlayerByGuid(Net::Guid(99)), spawned.get());
        EXPECT_EQ(spawned->GetPosition(false), Vector3(0, 10, 0));
        EXPECT_EQ(spawned->GetPosition(true), Vector3(0, 0, 0));
    }

    std::atomic<bool> held{false};
    std::atomic<bool> release{false};
    std::atomic<bool> deleted{false};
    std::atomic<int32_t> seenCount{-1};
    std::thread worker([&] {
        PlayerRef ref = g_entityManager.FindPlayerRefByGuid(Net::Guid(99));
        ASSERT_TRUE(ref);
        held = true;
        while (!release) std::this_thread::yield();
        // Filling the inventory after the player was unregistered is still safe.
        for (int i = 0; i < 100; ++i) ref->AddToInventory(type0, 1);
        seenCount = ref->GetInventoryCount(type0);
        ref->PushPlayer(Vector3(0, 1, 0));
    });
    ASSERT_TRUE(WaitFor([&] { return held.load(); }));

    std::thread deleter([&] {
        Player* p = g_entityManager.FindPlayerByGuid(Net::Guid(99));
        g_entityManager.DeletePlayer(p);
        deleted = true;
    });
    // Unregistered at once, but not freed while held.
    ASSERT_TRUE(WaitFor([] { return g_entityManager.FindPlayerByGuid(Net::Guid(99)) == nullptr; }));
    EXPECT_FALSE(deleted.load());
    release = true;
    worker.join();
    deleter.join();
    EXPECT_TRUE(deleted.load());
    EXPECT_EQ(seenCount.load(), 100);
}

// Spawns, moves, serialises and deletes players on one thread while others
// walk copies and push them; run under the thread sanitizer.
TEST_F(RegistryTest, ConcurrentUseOfPlayers) {
    std::atomic<bool> stop{false};
    std::thread network([&] {
        for (int round = 0; round < 200; ++round) {
            auto* p = static_cast<Player*>(
                g_entityManager.Spawn("Player", Net::Guid(round % 3), &server, Vector3(0, 5, 0)));
            PlayerInput in;
            in.time = 0.05;
            in.move = Vector3(1, 0, 0);
            in.facing = Vector3(0, 0, 1);
            p->ApplyInput(in);
            Net::SerializeParameters params;
            p->Serialize(&params);
            g_entityManager.DeletePlayer(p);
            // A disconnect of a player that the worker is still filling.
            g_entityManager.DeletePlayer(g_entityManager.FindPlayerByGuid(Net::Guid(5)));
        }
        stop = true;
    });
    std::thread scripts([&] {
        while (!stop) {
            for (PlayerRef& ref : g_entityManager.CopyPlayers()) {
                ref->PushPlayer(Vector3(0.01, 0, 0));
                (void)ref->CopyPosition(false);
            }
        }
    });
    std::thread worker([&] {
        const BrickType& type1 = BrickCatalogue::Types()[1];
        int spawned = 0;
        while (!stop) {
            PlayerRef ref = g_entityManager.FindPlayerRefByGuid(Net::Guid(1));
            if (ref) ref->AddToInventory(type1, 10000);
            if (spawned < 20) {
                // The chunk worker's spawn: the network thread may delete it at once.
                PlayerRef fresh = g_entityManager.SpawnPlayer(Net::Guid(5), &server, Vector3(0, 5, 0));
                ++spawned;
                fresh->AddToInventory(type1, 10000);
            }
        }
    });
    network.join();
    scripts.join();
    worker.join();
    for (Player* left : g_entityManager.CopyPlayerPointers()) g_entityManager.DeletePlayer(left);
}

}  // namespace
