// The physics world: boxes fall, report zero velocity and unit rotations,
// push each other apart, and everything is released at shutdown; the
// physics thread runs beside serialisation and additions.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <thread>

#include "EntityTestSupport.h"
#include "entities/EntityManager.h"
#include "entities/PhysicsEntity.h"
#include "entities/PhysicsManager.h"

using namespace Tav;

namespace {

double Norm(const Quaternion& q) { return std::sqrt(q.x * q.x + q.y * q.y + q.z * q.z + q.w * q.w); }

class PhysicsTest : public ::testing::Test {
protected:
    void SetUp() override { physics.InitWorld(); }
    void TearDown() override { physics.Shutdown(); }
    TavTest::FakeHost server{7, true};
    PhysicsManager physics;
};

TEST_F(PhysicsTest, BoxStartsTurnedAndFallsWithZeroVelocity) {
    PhysicsEntity box(Vector3(3, 30, -4), &server, server.me);
    physics.AddEntity(&box);
    EXPECT_EQ(physics.GetBodyCount(), 1);
    // Nothing is written back before the first step.
    EXPECT_EQ(box.CopyState(false), box.displayState);

    double lastY = 30.0;
    for (int i = 0; i < 120; ++i) {
        physics.Step(1.0 / 60.0);
        const MotionState s = box.CopyState(false);
        // Bullet hands motion states the pose one sub-step behind.
        if (i > 0) {
            EXPECT_LT(s.position.y, lastY) << i;
        }
        lastY = s.position.y;
        EXPECT_EQ(s.velocity, Vector3(0, 0, 0));
        EXPECT_NEAR(Norm(s.rotation), 1.0, 1e-6);
    }
    EXPECT_FLOAT_EQ(static_cast<float>(box.simulatedState.position.x), 3.0f);
    EXPECT_FLOAT_EQ(static_cast<float>(box.simulatedState.position.z), -4.0f);

    // Nothing is in the world but boxes: it keeps falling through y = 0.
    for (int i = 0; i < 240; ++i) physics.Step(1.0 / 60.0);
    EXPECT_LT(box.simulatedState.position.y, 0.0);

    // A falling box does not spin: the starting turn of 1.57 rad about (1, 1, 0)/sqrt 2.
    const Quaternion r = box.simulatedState.rotation;
    const double s = std::sin(1.57f / 2.0f);
    EXPECT_NEAR(r.x, s / std::sqrt(2.0), 1e-5);
    EXPECT_NEAR(r.y, s / std::sqrt(2.0), 1e-5);
    EXPECT_NEAR(r.z, 0.0, 1e-5);
    EXPECT_NEAR(r.w, std::cos(1.57f / 2.0f), 1e-5);
}

TEST_F(PhysicsTest, LongGapAdvancesAtMostTenSubSteps) {
    PhysicsEntity box(Vector3(0, 30, 0), &server, server.me);
    physics.AddEntity(&box);
    physics.Step(3600.0);
    const double drop = 30.0 - box.simulatedState.position.y;
    // Ten sub-steps of 1/60 s under gravity 10 fall well under a metre.
    EXPECT_GT(drop, 0.05);
    EXPECT_LT(drop, 0.3);
}

TEST_F(PhysicsTest, TwoBoxesAtOnePointMoveApart) {
    PhysicsEntity a(Vector3(0, 30, 0), &server, server.me);
    PhysicsEntity b(Vector3(0, 30, 0), &server, server.me);
    physics.AddEntity(&a);
    physics.AddEntity(&b);
    for (int i = 0; i < 30; ++i) physics.Step(1.0 / 60.0);
    EXPECT_GT(a.simulatedState.position.DistanceTo(b.simulatedState.position), 0.1);
}

TEST_F(PhysicsTest, ShutdownReleasesEverythingAndEntitiesMayGoFirst) {
    auto* early = new PhysicsEntity(Vector3(0, 10, 0), &server, server.me);
    PhysicsEntity late(Vector3(5, 10, 0), &server, server.me);
    physics.AddEntity(early);
    physics.AddEntity(&late);
    physics.AddEntity(&late);  // a second body is never made
    EXPECT_EQ(physics.GetBodyCount(), 2);
    delete early;  // takes its body with it
    EXPECT_EQ(physics.GetBodyCount(), 1);
    physics.Step(0.1);

    physics.Shutdown();
    EXPECT_FALSE(physics.HasWorld());
    EXPECT_EQ(physics.GetBodyCount(), 0);
    physics.AddEntity(&late);  // without a world: nothing
    physics.Step(0.1);
    EXPECT_EQ(physics.GetBodyCount(), 0);
}

// The thread advances with the wall clock while serialisation copies the
// state and bodies are added from another thread.
TEST_F(PhysicsTest, ThreadStepsBesideSerialisationAndAdditions) {
    PhysicsEntity first(Vector3(0, 30, 0), &server, server.me);
    physics.AddEntity(&first);
    physics.Start();
    EXPECT_TRUE(physics.running);

    std::vector<std::unique_ptr<PhysicsEntity>> added;
    std::thread adder([&] {
        for (int i = 0; i < 5; ++i) {
            added.push_back(std::make_unique<PhysicsEntity>(Vector3(i * 3.0, 20, 0), &server, server.me));
            physics.AddEntity(added.back().get());
        }
    });

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    double y = 30.0;
    while (y > 29.0 && std::chrono::steady_clock::now() < deadline) {
        Net::SerializeParameters params;
        first.Serialize(&params);
        Net::BitStream& out = params.outputBitstream[0];
        MotionState s;
        s.Read(&out);
        EXPECT_EQ(s.velocity, Vector3(0, 0, 0));
        y = s.position.y;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    adder.join();
    EXPECT_LE(y, 29.0);
    physics.Stop();
    EXPECT_FALSE(physics.running);
    EXPECT_EQ(physics.GetBodyCount(), 6);
    physics.Shutdown();
    EXPECT_EQ(physics.GetBodyCount(), 0);
}

}  // namespace
