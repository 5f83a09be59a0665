// Player movement and collision against a small set of occupied cells.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>

#include "EntityTestSupport.h"
#include "entities/Movement.h"
#include "entities/Player.h"

using namespace Tav;

namespace {

const double kGravity = static_cast<double>(0.96f * 0.75f);
const double kJump = static_cast<double>(0.96f * 0.16f);
const double kWalk = static_cast<double>(0.1f);
const double kRow = static_cast<double>(0.96f);

uint32_t FloatBits(float f) {
    uint32_t b;
    std::memcpy(&b, &f, sizeof b);
    return b;
}

TEST(MovementConstantsTest, SinglePrecisionValues) {
    EXPECT_EQ(FloatBits(0.96f * 0.16f), 0x3E1D4951u);
    EXPECT_EQ(FloatBits(0.96f * 0.75f), 0x3F3851EBu);
    EXPECT_EQ(Movement::kJumpSpeed, 0.15359999239444733);
    EXPECT_EQ(Movement::kGravity, 0.7199999690055847);
    EXPECT_EQ(Movement::kBodyHeight, 2.8799999356269836);
    EXPECT_EQ(Movement::kBodyHalfWidth, 0.9200000166893005);
    EXPECT_EQ(Movement::kStepUp, 3.359999895095825);
    EXPECT_EQ(Movement::kCellX, 0.800000011920929);
    EXPECT_EQ(Movement::kCellY, 0.9599999785423279);
}

TEST(BlockRangeTest, BodyBoxes) {
    struct Case {
        Vector3 position;
        Vector3i min, max;
    };
    const double nan = std::nan("");
    const Case cases[] = {
        {Vector3(0, 0, 0), {-2, 0, -2}, {2, 3, 2}},               // top on a row boundary: four rows
        {Vector3(0, kRow * 10, 0), {-2, 10, -2}, {2, 13, 2}},
        {Vector3(0.8, 0.5, -0.8), {-1, 0, -3}, {3, 4, 1}},
        {Vector3(0, -0.1, 0), {-2, -1, -2}, {2, 3, 2}},
        {Vector3(1e300, 0, 0), {1073741824, 0, -2}, {1073741824, 3, 2}},  // clamped, no overflow
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.position.ToString());
        Vector3i min, max;
        GetBlockRangeOfBox(c.position, min, max);
        EXPECT_EQ(min, c.min);
        EXPECT_EQ(max, c.max);
    }
    // A position that is not a number gives a box below the floor.
    Vector3i min, max;
    GetBlockRangeOfBox(Vector3(nan, 0, 0), min, max);
    EXPECT_LT(min.y, 0);
    EXPECT_LT(max.y, 0);
}

class MovementTest : public ::testing::Test {
protected:
    void SetUp() override {
        TavTest::EnsureCatalogue();
        Player::SetOccupancy(&world);
    }
    void TearDown() override { Player::SetOccupancy(nullptr); }

    static PlayerInput Input(double time, Vector3 move = Vector3(), Vector3 facing = Vector3(0, 0, 1)) {
        PlayerInput in;
        in.time = time;
        in.move = move;
        in.facing = facing;
        return in;
    }
    Vector3& Pos() { return player.simulatedState.motion.position; }
    Vector3& Vel() { return player.simulatedState.motion.velocity; }
    bool OnGround() { return player.simulatedState.onGround; }

    TavTest::CellSet world;
    TavTest::FakeHost host{1, true};
    Player player{&host};
};

TEST_F(MovementTest, RestAtFloorSequence) {
    const double t = 2.5 * 0.1;
    player.ApplyInput(Input(0.1));
    EXPECT_EQ(Pos(), Vector3(0, 0, 0));
    EXPECT_FALSE(OnGround());  // the zero y move was taken
    EXPECT_DOUBLE_EQ(Vel().y, -kGravity * t);
    for (int i = 2; i <= 4; ++i) {
        SCOPED_TRACE(i);
        player.ApplyInput(Input(0.1 * i));
        EXPECT_EQ(Pos(), Vector3(0, 0, 0));
        EXPECT_TRUE(OnGround());
        EXPECT_EQ(Vel().x, 0.0);
        EXPECT_DOUBLE_EQ(Vel().y, -kGravity * 2.5 * (0.1 * i - 0.1 * (i - 1)));
    }
    EXPECT_EQ(player.blockMin, Vector3i(-2, 0, -2));
    EXPECT_EQ(player.blockMax, Vector3i(2, 3, 2));
}

TEST_F(MovementTest, WalkingVelocityAndThreshold) {
    struct Case {
        const char* name;
        Vector3 move;
        bool run;
        Vector3 facing;
        double vx, vz;
    };
    const Case cases[] = {
        {"length exactly 0.1 leaves the velocity", Vector3(0.1, 0, 0), false, Vector3(0, 0, 1), 0, 0},
        {"forward walk", Vector3(0.2, 0, 0), false, Vector3(0, 0, 1), 0, -0.2 * kWalk},
        {"forward run", Vector3(0.2, 0, 0), true, Vector3(0, 0, 1), 0, -0.2 * kWalk * 2},
        {"sideways", Vector3(0, 1, 0), false, Vector3(0, 0, 1), kWalk, 0},
        {"z only counts for the length", Vector3(0, 0, 0.5), false, Vector3(0, 0, 1), 0, 0},
        {"facing straight up: no horizontal direction", Vector3(1, 1, 0), false, Vector3(0, 1, 0), 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Player p(&host);
        p.simulatedState.motion.velocity = Vector3(0, 0, 0);
        PlayerInput in = Input(0.0, c.move, c.facing);  // dt 0: velocity only, no displacement
        in.run = c.run;
        p.ApplyInput(in);
        EXPECT_DOUBLE_EQ(p.simulatedState.motion.velocity.x, c.vx);
        EXPECT_DOUBLE_EQ(p.simulatedState.motion.velocity.z, c.vz);
        EXPECT_EQ(p.simulatedState.running, c.run);
        EXPECT_EQ(p.simulatedState.facing, c.facing);
    }
}

// Two inputs that leave a player resting on the floor at the origin; the
// step sizes are exact binary fractions.
void Settle(Player& p) {
    PlayerInput in;
    in.facing = Vector3(0, 0, 1);
    in.time = 0.125;
    p.ApplyInput(in);
    in.time = 0.25;
    p.ApplyInput(in);
    ASSERT_TRUE(p.simulatedState.onGround);
}
const double kWalkTime = 0.28125;  // 1/32 s after settling
const double kWalkT = 2.5 * 0.03125;

TEST_F(MovementTest, WalksAndFrictionSlowsOnTheGround) {
    Settle(player);
    player.ApplyInput(Input(kWalkTime, Vector3(1, 0, 0), Vector3(0, 0, 1)));
    // Walk speed along -z, moved by v * 100 * t, then friction on the ground.
    EXPECT_DOUBLE_EQ(Pos().z, -kWalk * 100 * kWalkT);
    EXPECT_EQ(Pos().x, 0.0);
    EXPECT_EQ(Pos().y, 0.0);
    EXPECT_DOUBLE_EQ(Vel().z, -kWalk * (kWalk - 0.75 * kWalkT) * (1.0 / kWalk));
    EXPECT_TRUE(OnGround());

    // Without input the player slides on until friction stops it.
    double time = kWalkTime;
    for (int i = 0; i < 3; ++i) player.ApplyInput(Input(time += 0.03125));
    EXPECT_EQ(Vel().z, 0.0);
    EXPECT_LT(Pos().z, -kWalk * 100 * kWalkT);
}

TEST_F(MovementTest, WallStepUpAndRefusal) {
    // Moving along -z into cells at z = -3.
    // A one-row ledge with a free row above: the move is taken and y rises.
    for (int x = -3; x <= 3; ++x) world.Add(x, 0, -3);
    Settle(player);
    player.ApplyInput(Input(kWalkTime, Vector3(1, 0, 0)));
    EXPECT_DOUBLE_EQ(Pos().z, -kWalk * 100 * kWalkT);
    EXPECT_DOUBLE_EQ(Pos().y, 3.359999895095825 * kWalkT);

    // Occupied above as well: refused, and that velocity component is zeroed.
    for (int x = -3; x <= 3; ++x)
        for (int y = 1; y <= 4; ++y) world.Add(x, y, -3);
    Player blocked(&host);
    Settle(blocked);
    blocked.ApplyInput(Input(kWalkTime, Vector3(1, 0, 0)));
    EXPECT_EQ(blocked.simulatedState.motion.position.z, 0.0);
    EXPECT_EQ(blocked.simulatedState.motion.position.y, 0.0);
    EXPECT_EQ(blocked.simulatedState.motion.velocity.z, 0.0);

    // Airborne players never step up.
    Player airborne(&host);
    airborne.simulatedState.motion.position = Vector3(0, kRow * 2, 0);
    airborne.ApplyInput(Input(0.0, Vector3(1, 0, 0)));
    airborne.ApplyInput(Input(0.1, Vector3(1, 0, 0)));
    EXPECT_EQ(airborne.simulatedState.motion.position.z, 0.0);
    EXPECT_EQ(airborne.simulatedState.motion.velocity.z, 0.0);
}

TEST_F(MovementTest, FallingLandingAndJumps) {
    Pos() = Vector3(0, kRow * 20, 0);
    double lastY = Pos().y;
    double time = 0.0;
    bool fell = false;
    for (int i = 0; i < 200 && !OnGround(); ++i) {
        time += 0.1;
        player.ApplyInput(Input(time));
        EXPECT_LE(Pos().y, lastY);
        fell = fell || Pos().y < lastY;
        lastY = Pos().y;
    }
    EXPECT_TRUE(fell);
    ASSERT_TRUE(OnGround());
    EXPECT_GE(Pos().y, 0.0);  // never below the floor

    // A jump while airborne is ignored; on the ground it starts upwards.
    Player air(&host);
    air.simulatedState.onGround = false;
    PlayerInput jump = Input(0.0);
    jump.jump = true;
    air.ApplyInput(jump);
    EXPECT_EQ(air.simulatedState.motion.velocity.y, 0.0);  // dt 0: no gravity either

    PlayerInput up = Input(time);  // same time: t = 0
    up.jump = true;
    player.ApplyInput(up);
    EXPECT_FALSE(OnGround());
    EXPECT_EQ(Vel().y, kJump);
}

TEST_F(MovementTest, TimeStepLimits) {
    // dt 0.4 gives t = 1: nothing moves. dt 0.39 sweeps.
    Vel() = Vector3(0.01, 0, 0);
    player.ApplyInput(Input(0.4));
    EXPECT_EQ(Pos(), Vector3(0, 0, 0));
    EXPECT_EQ(Vel(), Vector3(0.01, 0, 0));
    EXPECT_EQ(world.queries, 0);

    Player second(&host);
    second.simulatedState.motion.velocity = Vector3(0.01, 0, 0);
    second.ApplyInput(Input(0.39));
    EXPECT_DOUBLE_EQ(second.simulatedState.motion.position.x, 0.01 * 100 * 2.5 * 0.39);
    EXPECT_GT(world.queries, 0);

    // Beyond a second the step is cut to one second (so again no sweep); an
    // earlier time gives a negative step.
    Player late(&host);
    late.ApplyInput(Input(100.0));
    EXPECT_EQ(late.lastInput.time, 100.0);
    EXPECT_EQ(late.simulatedState.motion.velocity.y, 0.0);
    late.simulatedState.motion.position = Vector3(0, 5, 0);
    late.ApplyInput(Input(99.9));
    EXPECT_GT(late.simulatedState.motion.velocity.y, 0.0);  // gravity with t < 0
}

TEST_F(MovementTest, PushIsAddedToEveryAxisMove) {
    player.PushPlayer(Vector3(0.1, 0, 0));
    Pos() = Vector3(0, 5, 0);
    player.ApplyInput(Input(0.0));  // t = 0: only the push moves
    EXPECT_DOUBLE_EQ(Pos().x, 0.3);
    player.PushPlayer(Vector3(0, 0, 0));
    player.ApplyInput(Input(0.0));
    EXPECT_DOUBLE_EQ(Pos().x, 0.3);
}

TEST_F(MovementTest, GarbageInputNeverLeavesTheWorldBroken) {
    const double inf = INFINITY;
    const double nan = std::nan("");
    const Vector3 bad[] = {Vector3(nan, 0, 0), Vector3(inf, 1, 0), Vector3(1e308, 1e308, 1e308)};
    for (const Vector3& v : bad) {
        Player p(&host);
        PlayerInput in = Input(0.1, v, v);
        p.ApplyInput(in);
        in.time = 0.2;
        p.ApplyInput(in);
        // The box stays small: no lookup over billions of cells.
        EXPECT_LE(static_cast<int64_t>(p.blockMax.x) - p.blockMin.x, 5);
    }
}

}  // namespace
