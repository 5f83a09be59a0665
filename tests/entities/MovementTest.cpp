// Player movement and collision against a small set of occupied cells.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

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
    // earlier time moves nothing (gravity would turn upward with t < 0).
    Player late(&host);
    late.ApplyInput(Input(100.0));
    EXPECT_EQ(late.lastInput.time, 100.0);
    EXPECT_EQ(late.simulatedState.motion.velocity.y, 0.0);
    late.simulatedState.motion.position = Vector3(0, 5, 0);
    late.ApplyInput(Input(99.9, Vector3(1, 0, 0)));
    EXPECT_EQ(late.simulatedState.motion.position, Vector3(0, 5, 0));
    EXPECT_EQ(late.simulatedState.motion.velocity.y, 0.0);
    EXPECT_DOUBLE_EQ(late.simulatedState.motion.velocity.z, -kWalk) << "the controls are taken";
    EXPECT_EQ(late.lastInput.time, 99.9);
}

TEST_F(MovementTest, PushIsAddedToEveryAxisMove) {
    player.PushPlayer(Vector3(0.1, 0, 0));
    Pos() = Vector3(0, 5, 0);
    player.ApplyInput(Input(0.1));  // at rest: only the push moves x
    EXPECT_DOUBLE_EQ(Pos().x, 0.3);
    player.PushPlayer(Vector3(0, 0, 0));
    player.ApplyInput(Input(0.2));
    EXPECT_DOUBLE_EQ(Pos().x, 0.3);
    // A time that does not advance moves nothing, not even by the push.
    player.PushPlayer(Vector3(0.1, 0, 0));
    player.ApplyInput(Input(0.2));
    EXPECT_DOUBLE_EQ(Pos().x, 0.3);
}

// Occupied cells of a bounded block of the world (x and z from -64 to 63,
// rows 0 to 79) in a dense grid; rows below 0 count as occupied, as in the
// world.
struct GridWorld : IBoxOccupancy {
    static constexpr int kLow = -64, kSide = 128, kRows = 80;
    std::vector<uint8_t> cells = std::vector<uint8_t>(size_t(kSide) * kRows * kSide, 0);

    static bool Inside(int64_t x, int64_t y, int64_t z) {
        return x >= kLow && x < kLow + kSide && y >= 0 && y < kRows && z >= kLow && z < kLow + kSide;
    }
    size_t Index(int64_t x, int64_t y, int64_t z) const {
        return size_t(((x - kLow) * kRows + y) * kSide + (z - kLow));
    }
    void Fill(int x0, int x1, int y0, int y1, int z0, int z1) {
        for (int x = x0; x <= x1; ++x)
            for (int y = y0; y <= y1; ++y)
                for (int z = z0; z <= z1; ++z)
                    if (Inside(x, y, z)) cells[Index(x, y, z)] = 1;
    }
    bool At(int64_t x, int64_t y, int64_t z) const { return Inside(x, y, z) && cells[Index(x, y, z)]; }
    template <class F>
    bool Scan(const Vector3i& min, const Vector3i& max, F&& f) const {
        for (int64_t x = std::max<int64_t>(min.x, kLow); x <= std::min<int64_t>(max.x, kLow + kSide - 1); ++x)
            for (int64_t y = std::max<int64_t>(min.y, 0); y <= std::min<int64_t>(max.y, kRows - 1); ++y)
                for (int64_t z = std::max<int64_t>(min.z, kLow); z <= std::min<int64_t>(max.z, kLow + kSide - 1); ++z)
                    if (cells[Index(x, y, z)] && f(Vector3i(int32_t(x), int32_t(y), int32_t(z)))) return true;
        return false;
    }
    bool IsBoxOccupied(const Vector3i& min, const Vector3i& max) override {
        return min.y < 0 || Scan(min, max, [](const Vector3i&) { return true; });
    }
    void CollectOccupiedCells(const Vector3i& min, const Vector3i& max, std::vector<Vector3i>& out) override {
        Scan(min, max, [&out](const Vector3i& c) {
            out.push_back(c);
            return false;
        });
    }
};

// Whether a body carried straight from `from` to `to` covers, somewhere on
// the way, an occupied cell that it covers at neither end: checked here in
// steps of at most 0.02 units, independently of the movement's own test.
bool WayPassesThroughACell(const GridWorld& world, const Vector3& from, const Vector3& to) {
    const Vector3 way = to - from;
    const int n = std::max(1, static_cast<int>(std::ceil(way.Length() / 0.02)));
    Vector3i s0, s1, e0, e1;
    GetBlockRangeOfBox(from, s0, s1);
    GetBlockRangeOfBox(to, e0, e1);
    auto in = [](const Vector3i& c, const Vector3i& lo, const Vector3i& hi) {
        return c.x >= lo.x && c.x <= hi.x && c.y >= lo.y && c.y <= hi.y && c.z >= lo.z && c.z <= hi.z;
    };
    for (int k = 1; k < n; ++k) {
        Vector3i b0, b1;
        GetBlockRangeOfBox(from + way * (double(k) / n), b0, b1);
        if (world.Scan(b0, b1, [&](const Vector3i& c) { return !in(c, s0, s1) && !in(c, e0, e1); })) return true;
    }
    return false;
}

// The movement as it was before inputs were checked and ways followed, kept
// word for word as the yardstick for ordinary inputs. It notes when a move
// that it takes passes through an occupied cell.
struct LegacyMovement {
    PlayerState state;
    PlayerInput last;
    Vector3 push;
    GridWorld* world = nullptr;
    bool passedThrough = false;

    bool Occupied(const Vector3i& min, const Vector3i& max) { return world->IsBoxOccupied(min, max); }
    void Take(Vector3& p, const Vector3& to) {
        passedThrough = passedThrough || WayPassesThroughACell(*world, p, to);
        p = to;
    }
    void ApplyInput(const PlayerInput& input) {
        double dt = input.time - last.time;
        if (dt > 1.0) dt = 1.0;
        Move(input, dt);
        last = input;
    }
    void Move(const PlayerInput& input, double dt) {
        using namespace Movement;
        const double t = kTimeScale * dt;
        state.running = input.run;
        state.facing = input.facing;
        Vector3& velocity = state.motion.velocity;
        if (input.move.Length() > kMoveThreshold) {
            const Vector3& facing = state.facing;
            Vector3 fwd(facing.x, 0.0, facing.z);
            fwd.NormalizeInPlace();
            const Vector3 right = facing.Normalize().Cross(Vector3(0.0, 1.0, 0.0)).Normalize();
            const double m = state.running ? 2.0 : 1.0;
            velocity.x = (-input.move.x * fwd.x - input.move.y * right.x) * kWalkSpeed * m;
            velocity.z = (-input.move.x * fwd.z - input.move.y * right.z) * kWalkSpeed * m;
        }
        if (input.jump && state.onGround) {
            state.onGround = false;
            velocity.y = kJumpSpeed;
        }
        if (t < 1.0) Sweep(t);
    }
    void Sweep(double t) {
        using namespace Movement;
        Vector3& p = state.motion.position;
        Vector3& v = state.motion.velocity;
        bool& onGround = state.onGround;
        const Vector3 d = v * kDisplacementScale * t;
        const Vector3 dx = Vector3(d.x, 0.0, 0.0) + push;
        const Vector3 dz = Vector3(0.0, 0.0, d.z) + push;
        const Vector3 dy = Vector3(0.0, d.y, 0.0) + push;
        Vector3i bxMin, bxMax, bzMin, bzMax, byMin, byMax;
        GetBlockRangeOfBox(p + dx, bxMin, bxMax);
        GetBlockRangeOfBox(p + dz, bzMin, bzMax);
        GetBlockRangeOfBox(p + dy, byMin, byMax);
        auto horizontal = [&](Vector3i min, Vector3i max, const Vector3& delta, double& component) {
            if (!Occupied(min, max)) {
                Take(p, p + delta);
                return;
            }
            min.y += 1;
            max.y += 1;
            if (onGround && !Occupied(min, max)) {
                Vector3 to = p;
                to.y += kStepUp * t;
                Take(p, to + delta);
            } else {
                component = 0.0;
            }
        };
        horizontal(bxMin, bxMax, dx, v.x);
        horizontal(bzMin, bzMax, dz, v.z);
        if (!Occupied(byMin, byMax)) {
            Take(p, p + dy);
            onGround = false;
        } else {
            if (v.y <= 0.0) onGround = true;
            v.y = 0.0;
        }
        if (onGround) {
            const double s = v.Length();
            if (s <= kStopSpeed) {
                v = Vector3(0.0, 0.0, 0.0);
            } else {
                const double friction = kFriction * t;
                v = v * (s - (friction < s ? friction : s)) * (1.0 / s);
            }
        }
        v.y -= kGravity * t;
    }
};

class SweepTest : public ::testing::Test {
protected:
    void SetUp() override {
        TavTest::EnsureCatalogue();
        Player::SetOccupancy(&world);
    }
    void TearDown() override { Player::SetOccupancy(nullptr); }

    GridWorld world;
    TavTest::FakeHost host{1, true};
};

bool SameBits(const Vector3& a, const Vector3& b) {
    return std::memcmp(&a.x, &b.x, sizeof a.x) == 0 && std::memcmp(&a.y, &b.y, sizeof a.y) == 0 &&
           std::memcmp(&a.z, &b.z, sizeof a.z) == 0;
}

// Ordinary inputs (finite, advancing time, a move vector no longer than 1)
// move a player exactly as before, bit for bit, unless the move that the old
// rules take passes through an occupied cell.
TEST_F(SweepTest, OrdinaryInputsMoveExactlyAsBefore) {
    std::mt19937 random(20241210);
    std::uniform_real_distribution<double> unit(-1.0, 1.0), share(0.0, 1.0);
    // Ground, pillars, thin walls and ledges around the origin.
    world.Fill(-40, 40, 0, 0, -40, 40);
    for (int i = 0; i < 160; ++i) {
        const int x = int(unit(random) * 36), z = int(unit(random) * 36), y = 1 + int(share(random) * 6);
        const int h = int(share(random) * 4), w = int(share(random) * 6);
        if (share(random) < 0.5)
            world.Fill(x, x, 1, y + h, z, z + w);  // a wall along z
        else
            world.Fill(x, x + w, y, y, z, z);  // a ledge along x
    }
    size_t compared = 0, differing = 0;
    for (int walker = 0; walker < 24; ++walker) {
        Player player(&host);
        player.simulatedState.motion.position = Vector3(unit(random) * 20, 1 * kRow, unit(random) * 20);
        double time = 0.0;
        for (int n = 0; n < 250; ++n) {
            PlayerInput input;
            time += n % 9 == 0 ? 0.02 + share(random) * 0.37 : 0.005 + share(random) * 0.05;
            input.time = time;
            input.move = Vector3(unit(random), unit(random), unit(random) * 0.2);
            if (input.move.Length() > 1.0) input.move = input.move * (0.999 / input.move.Length());
            input.facing = Vector3(unit(random), unit(random) * 0.3, unit(random));
            input.run = share(random) < 0.5;
            input.jump = share(random) < 0.1;

            LegacyMovement legacy{player.simulatedState, player.lastInput, player.push, &world};
            legacy.ApplyInput(input);
            player.ApplyInput(input);
            const PlayerState& now = player.simulatedState;
            const bool same = SameBits(now.motion.position, legacy.state.motion.position) &&
                              SameBits(now.motion.velocity, legacy.state.motion.velocity) &&
                              now.onGround == legacy.state.onGround && now.facing == legacy.state.facing &&
                              now.running == legacy.state.running;
            ++compared;
            if (!same) {
                ++differing;
                EXPECT_TRUE(legacy.passedThrough) << "walker " << walker << ", input " << n;
            }
        }
    }
    // Both kinds occur: most inputs are compared bit for bit, and the world
    // is such that the old rules let some pass through a cell.
    EXPECT_GT(compared - differing, compared * 9 / 10);
    EXPECT_GT(differing, 0u);
}

// Inputs no client should send leave the player finite, on the floor it
// stood on and on its side of the wall before it.
TEST_F(SweepTest, HostileInputsLeaveThePlayerFiniteAndOnItsSide) {
    const double inf = INFINITY, nan = std::nan("");
    world.Fill(-30, 30, 10, 10, -30, 30);   // a floor one row thick at row 10
    world.Fill(6, 6, 11, 14, -30, 30);      // a wall one cell thick at x cell 6
    world.Fill(-30, 30, 40, 40, 40, 60);    // a high floor at row 40, elsewhere
    const double floorTop = 11 * kRow, highTop = 41 * kRow;
    const double wallFace = 6 * Movement::kCellX;
    // Toward +x: facing -x and move.x forward.
    auto toWall = [](double time, Vector3 move = Vector3(1, 0, 0)) {
        PlayerInput in;
        in.time = time;
        in.move = move;
        in.facing = Vector3(-1, 0, 0);
        in.run = true;
        return in;
    };
    struct Case {
        const char* name;
        bool high;  // starts above the high floor instead of on the low one
        std::vector<PlayerInput> inputs;
    };
    const std::vector<Case> cases = {
        {"infinite times", false, {toWall(inf), toWall(inf), toWall(-inf), toWall(2.0)}},
        {"not-a-number time", false, {toWall(nan), toWall(2.0)}},
        {"infinite and undefined vectors", false,
         {toWall(1.5, Vector3(inf, 0, 0)), toWall(1.6, Vector3(nan, 1, 0)), [&] {
              PlayerInput in = toWall(1.7);
              in.facing = Vector3(0, inf, 0);
              return in;
          }()}},
        {"time running backwards", false, {toWall(1.1), toWall(0.5), toWall(-3.0), toWall(-10.0), toWall(-20.0)}},
        {"an oversized move across the wall", false, {toWall(1.39, Vector3(1e6, 0, 0)), toWall(1.78, Vector3(1e308, 1e308, 0))}},
        {"the longest step there is, again and again", false,
         {toWall(1.39), toWall(1.78), toWall(2.17), toWall(2.56), toWall(2.95)}},
        {"a fall through a thin floor", true,
         {toWall(1.2, Vector3()), toWall(1.4, Vector3()), toWall(1.6, Vector3()), toWall(1.8, Vector3()),
          toWall(2.0, Vector3()), toWall(2.2, Vector3())}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Player player(&host);
        Vector3& p = player.simulatedState.motion.position;
        p = c.high ? Vector3(0, 60 * kRow, 50 * Movement::kCellZ) : Vector3(0, floorTop, 0);
        player.ApplyInput(toWall(1.0, Vector3()));  // at rest, on the floor (or falling)
        for (const PlayerInput& in : c.inputs) {
            player.ApplyInput(in);
            const Vector3& v = player.simulatedState.motion.velocity;
            // Every peer receives these, the last input's time included.
            if (!(std::isfinite(p.x + p.y + p.z) && std::isfinite(v.x + v.y + v.z) &&
                  std::isfinite(player.lastInput.time))) {
                ADD_FAILURE() << "not finite: " << p.ToString() << ", " << v.ToString() << ", "
                              << player.lastInput.time;
                break;
            }
            EXPECT_GE(p.y, c.high ? highTop : floorTop) << "below the floor it stood on";
            EXPECT_LE(p.y, (c.high ? 60 * kRow : floorTop + kRow)) << "flew up";
            if (!c.high) {
                EXPECT_LT(p.x + Movement::kBodyHalfWidth, wallFace + 1e-9) << "through the wall";
            }
        }
    }
}

}  // namespace
