// Replica operations between two entities, called directly: construction
// and serialisation round trips, the debugger lines, local players, the
// replication rules and the display smoothing.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "EntityTestSupport.h"
#include "entities/EntityManager.h"
#include "entities/PhysicsEntity.h"
#include "entities/Player.h"

using namespace Tav;

namespace {

class ReplicationTest : public ::testing::Test {
protected:
    void SetUp() override { TavTest::EnsureCatalogue(); }

    // Hands what one entity's Serialize wrote to another's Deserialize.
    static void Transfer(BaseEntity& from, BaseEntity& to) {
        Net::SerializeParameters out;
        from.Serialize(&out);
        Net::DeserializeParameters in;
        in.serializationBitstream[0] = out.outputBitstream[0];
        in.bitstreamWrittenTo[0] = true;
        to.Deserialize(&in);
    }

    TavTest::FakeHost server{1000, true};
    TavTest::FakeHost clientA{2000, false};
    TavTest::FakeHost clientB{3000, false};
};

TEST_F(ReplicationTest, PlayerConstructionRoundTripLocalAndOther) {
    auto* spawned = static_cast<Player*>(g_entityManager.Spawn("Player", clientA.me, &server, Vector3(4, 5, 6)));
    ASSERT_NE(spawned, nullptr);
    spawned->simulatedState.facing = Vector3(0, 0, 1);
    spawned->simulatedState.running = true;
    EXPECT_EQ(spawned->GetPosition(true), Vector3(0, 0, 0));  // display stays at the origin
    EXPECT_EQ(g_entityManager.GetLocalPlayer(), nullptr);

    Net::BitStream form;
    spawned->SerializeConstruction(&form, nullptr);

    // The owner's process: the "local" lines, isLocal, localPlayer.
    auto* local = static_cast<Player*>(g_entityManager.CreateByTypeName("Player", &clientA));
    ASSERT_NE(local, nullptr);
    EXPECT_EQ(g_entityManager.FindPlayerByGuid(clientA.me), spawned);  // not registered yet
    testing::internal::CaptureStderr();
    EXPECT_TRUE(local->DeserializeConstruction(&form, nullptr));
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Added local BaseEntity (with guid: 2000) \nAdded local Player (with guid: 2000) \n");
    EXPECT_TRUE(local->isLocal);
    EXPECT_EQ(g_entityManager.GetLocalPlayer(), local);
    EXPECT_EQ(local->guid, clientA.me);
    EXPECT_EQ(local->GetPosition(false), Vector3(4, 5, 6));
    EXPECT_EQ(local->GetPosition(true), Vector3(4, 5, 6));
    EXPECT_EQ(local->simulatedState.facing, Vector3(0, 0, 1));
    EXPECT_TRUE(local->simulatedState.running);
    EXPECT_EQ(local->displayState.facing, Vector3(0, 0, 0));  // display facing not set
    EXPECT_EQ(local->history.size(), static_cast<size_t>(Player::kHistorySize));

    // Another process: the "other" lines with both GUIDs.
    form.ResetReadPointer();
    auto* other = static_cast<Player*>(g_entityManager.CreateByTypeName("Player", &clientB));
    testing::internal::CaptureStderr();
    other->DeserializeConstruction(&form, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Added other BaseEntity (with guid: 2000, our guid: 3000) \n"
              "Added other Player (with guid: 2000, our guid: 3000) \n");
    EXPECT_FALSE(other->isLocal);

    // Serialisation: the other copy takes state and input; the local copy
    // goes to reconciliation, which with an empty history changes nothing.
    spawned->simulatedState.motion.position = Vector3(7, 8, 9);
    spawned->lastInput.time = 3.5;
    spawned->AddToInventory(BrickCatalogue::Types()[4], 12);
    Transfer(*spawned, *other);
    EXPECT_EQ(other->GetPosition(false), Vector3(7, 8, 9));
    EXPECT_EQ(other->GetPosition(true), Vector3(4, 5, 6));  // display untouched
    EXPECT_EQ(other->lastInput.time, 3.5);
    EXPECT_EQ(other->GetInventoryCount(BrickCatalogue::Types()[4]), 12);

    spawned->AddToInventory(BrickCatalogue::Types()[4], 1);
    Transfer(*spawned, *local);
    EXPECT_EQ(local->GetPosition(false), Vector3(4, 5, 6));
    EXPECT_EQ(local->lastInput.time, 0.0);
    EXPECT_EQ(local->GetInventoryCount(BrickCatalogue::Types()[4]), 13);  // inventory is read either way

    // Deallocation unregisters and deletes; the local player goes with it.
    local->DeallocReplica(nullptr);
    EXPECT_EQ(g_entityManager.GetLocalPlayer(), nullptr);
    other->DeallocReplica(nullptr);
    EXPECT_EQ(g_entityManager.FindPlayerByGuid(clientA.me), spawned);
    g_entityManager.DeletePlayer(spawned);
    EXPECT_EQ(g_entityManager.GetPlayerCount(), 0u);
}

TEST_F(ReplicationTest, ShortConstructionFormsKeepUnreadValues) {
    Player source(&server);
    source.guid = Net::Guid(77);
    source.simulatedState.motion.position = Vector3(1, 2, 3);
    source.simulatedState.onGround = true;
    source.simulatedState.running = true;
    Net::BitStream whole;
    source.SerializeConstruction(&whole, nullptr);

    // Cut inside the flags: onGround read, running kept.
    Net::BitStream cut;
    cut.WriteBits(whole.GetData(), whole.GetNumberOfBitsUsed() - 1);
    auto* target = static_cast<Player*>(g_entityManager.CreateByTypeName("Player", &clientB));
    testing::internal::CaptureStderr();
    EXPECT_TRUE(target->DeserializeConstruction(&cut, nullptr));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(target->simulatedState.onGround);
    EXPECT_FALSE(target->simulatedState.running);
    EXPECT_EQ(target->GetPosition(false), Vector3(1, 2, 3));
    target->DeallocReplica(nullptr);

    // An empty stream is accepted and leaves the new state as it was.
    Net::BitStream empty;
    PhysicsEntity box(&clientB);
    testing::internal::CaptureStderr();
    EXPECT_TRUE(box.DeserializeConstruction(&empty, nullptr));
    testing::internal::GetCapturedStderr();
    EXPECT_TRUE(box.guid.IsUnassigned());
    EXPECT_EQ(box.simulatedState, MotionState());
    EXPECT_TRUE(box.DeserializeDestruction(&empty, nullptr));
}

TEST_F(ReplicationTest, PhysicsEntityJoinsTheListOnConstructionAndLeavesOnDealloc) {
    const size_t before = g_entityManager.GetEntityCount();
    PhysicsEntity spawned(Vector3(5, 30, -2), &server, server.me);
    EXPECT_EQ(g_entityManager.GetEntityCount(), before + 1);
    EXPECT_EQ(spawned.GetPosition(true), Vector3(5, 30, -2));

    Net::BitStream form;
    spawned.SerializeConstruction(&form, nullptr);
    auto* received = static_cast<PhysicsEntity*>(g_entityManager.CreateByTypeName("PhysicsEntity", &clientA));
    ASSERT_NE(received, nullptr);
    EXPECT_EQ(g_entityManager.GetEntityCount(), before + 1);
    testing::internal::CaptureStderr();
    received->DeserializeConstruction(&form, nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Added other BaseEntity (with guid: 1000, our guid: 2000) \n");
    EXPECT_EQ(g_entityManager.GetEntityCount(), before + 2);

    spawned.simulatedState.rotation = Quaternion(0, 1, 0, 0);
    Transfer(spawned, *received);
    EXPECT_EQ(received->simulatedState, spawned.simulatedState);
    EXPECT_EQ(received->displayState.position, Vector3(5, 30, -2));

    received->DeallocReplica(nullptr);
    EXPECT_EQ(g_entityManager.GetEntityCount(), before + 1);
}

TEST_F(ReplicationTest, ServerConstructsAndSerialisesClientsOnlyAccept) {
    Player onServer(&server);
    Player onClient(&clientA);
    EXPECT_EQ(onServer.QuerySerialization(nullptr), Net::SerializationQuery::CanSerialize);
    EXPECT_EQ(onClient.QuerySerialization(nullptr), Net::SerializationQuery::NeverSerialize);
    EXPECT_EQ(onServer.QueryConstruction(nullptr, nullptr), Net::ConstructionQuery::SendConstruction);
    EXPECT_NE(onClient.QueryConstruction(nullptr, nullptr), Net::ConstructionQuery::SendConstruction);
    EXPECT_FALSE(onServer.QueryRemoteConstruction(nullptr));
    EXPECT_TRUE(onClient.QueryRemoteConstruction(nullptr));
}

TEST_F(ReplicationTest, ReconcileReplaysRecordsAfterTheAcknowledgedInput) {
    TavTest::EnsureCatalogue();
    auto setUp = [](Player& p) {
        p.history.resize(Player::kHistorySize);
        for (int i = 0; i < 3; ++i) {
            MoveRecord& r = p.history[i];
            r.input.time = 0.125 * (i + 1);
            r.input.facing = Vector3(0, 0, 1);
            r.input.move = Vector3(i == 2 ? 1 : 0, 0, 0);
            r.state.motion.position = Vector3(0, 10, static_cast<double>(i));
        }
        p.historyWrite = 3;
        p.lastInput.time = 9.0;
    };
    PlayerInput acknowledged;
    acknowledged.time = 0.25;
    PlayerState server;
    server.motion.position = Vector3(0, 10, 0);

    // The server's state differs from the record of the acknowledged input:
    // the state is taken and the later record replayed from it.
    Player p(&clientA);
    setUp(p);
    p.Reconcile(acknowledged, server);
    EXPECT_EQ(p.historyRead, 2);
    EXPECT_EQ(p.lastInput.time, 9.0);  // restored
    const Vector3& pos = p.simulatedState.motion.position;
    EXPECT_DOUBLE_EQ(pos.z, -static_cast<double>(0.1f) * 100 * 2.5 * 0.125);  // one walk step from the server's z
    EXPECT_TRUE(p.history[2].state.SameMotion(p.simulatedState));

    // Equal states: nothing changes.
    Player q(&clientA);
    setUp(q);
    q.history[1].state.motion.position = server.motion.position;
    q.simulatedState.motion.position = Vector3(50, 50, 50);
    q.Reconcile(acknowledged, server);
    EXPECT_EQ(q.historyRead, 1);
    EXPECT_EQ(q.simulatedState.motion.position, Vector3(50, 50, 50));
}

TEST(SmoothingTest, UpdateFactors) {
    struct Case {
        double dt;
        double positionFactor;
        bool rotationWhole;
    };
    const Case cases[] = {
        {0.0, 0.0, false},
        {1.0 / 60.0, 0.25, false},
        {1.0 / 30.0, 0.5, true},
        {1.0 / 15.0, 1.0, true},
        {5.0, 1.0, true},
        {std::numeric_limits<double>::quiet_NaN(), 1.0, true},
    };
    TavTest::FakeHost host{1, false};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.dt);
        PhysicsEntity e(&host);
        e.simulatedState.position = Vector3(16, -8, 4);
        e.simulatedState.velocity = Vector3(2, 0, 0);
        e.simulatedState.rotation = Quaternion(0, 0, 2, 0);  // normalises to (0, 0, 1, 0)
        e.displayState.rotation = Quaternion(0, 0, 0, 2);
        e.Update(c.dt);
        EXPECT_DOUBLE_EQ(e.displayState.position.x, 16 * c.positionFactor);
        EXPECT_DOUBLE_EQ(e.displayState.position.y, -8 * c.positionFactor);
        EXPECT_DOUBLE_EQ(e.displayState.velocity.x, 2 * c.positionFactor);
        const Quaternion& r = e.displayState.rotation;
        if (c.rotationWhole) {
            EXPECT_NEAR(r.z, 1.0, 1e-12);
            EXPECT_NEAR(r.w, 0.0, 1e-12);
        } else if (c.dt == 0.0) {
            EXPECT_EQ(r, Quaternion(0, 0, 0, 1));  // only normalised
        } else {
            EXPECT_GT(r.z, 0.0);
            EXPECT_LT(r.z, 1.0);
        }
    }

    // A player's display facing follows with the same factor.
    Player p(&host);
    p.simulatedState.facing = Vector3(0, 0, 4);
    p.Update(1.0 / 60.0);
    EXPECT_DOUBLE_EQ(p.displayState.facing.z, 1.0);
}

}  // namespace
