// How a physics box moves from sub-step to sub-step, as docs/protocol.md
// tells client authors: in each sub-step of 1/60 s Bullet first damps the
// velocity by (1 - 0.2)^(1/60), then adds gravity's 10/60, then moves the
// box by the new velocity; the pose a box reports lags behind by the part of
// a sub-step that the world has not yet taken.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "EntityTestSupport.h"
#include "entities/PhysicsEntity.h"
#include "entities/PhysicsManager.h"

using namespace Tav;

namespace {

constexpr double kSubStep = 1.0 / 60.0;
constexpr int kSteps = 600;

// The heights a box dropped at rest from 30 passes through, sub-step by
// sub-step (index 0: the start), when each sub-step takes v := v * keep +
// before, then v += gravity / 60, then v *= after, then y -= v / 60.
std::vector<double> Heights(double before, double after) {
    std::vector<double> y = {30.0};
    double v = 0.0;
    for (int i = 1; i <= kSteps; ++i) {
        v = (v * before + 10.0 * kSubStep) * after;
        y.push_back(y.back() - v * kSubStep);
    }
    return y;
}

// The largest distance between the heights that the box reported after each
// whole sub-step (the pose one sub-step back) and the model.
double LargestMiss(const std::vector<double>& reported, const std::vector<double>& model) {
    double miss = 0.0;
    for (size_t i = 1; i < reported.size(); ++i) miss = std::max(miss, std::fabs(reported[i] - model[i - 1]));
    return miss;
}

TEST(BoxDamping, EachSubStepDampsThenAddsGravityThenMoves) {
    TavTest::FakeHost server{7, true};
    PhysicsManager physics;
    physics.InitWorld();
    PhysicsEntity box(Vector3(0, 30, 0), &server, server.me);
    physics.AddEntity(&box);
    std::vector<double> reported = {30.0};
    for (int i = 1; i <= kSteps; ++i) {
        physics.Step(kSubStep);
        reported.push_back(box.CopyState(false).position.y);
    }
    // After the first sub-step the box still reports where it started.
    EXPECT_EQ(reported[1], 30.0);

    const double keep = std::pow(0.8, kSubStep);  // 0.99628...
    // Bullet computes in single precision: a few thousandths over 250 units.
    EXPECT_LT(LargestMiss(reported, Heights(keep, 1.0)), 0.02);
    // The readings that a client might fit instead are far off.
    EXPECT_GT(LargestMiss(reported, Heights(1.0, keep)), 0.3) << "damping after gravity";
    EXPECT_GT(LargestMiss(reported, Heights(1.0 - 0.2 * kSubStep, 1.0)), 5.0) << "linear damping";
    EXPECT_GT(LargestMiss(reported, Heights(1.0, 1.0)), 50.0) << "no damping";
    // Ten seconds in, it falls at about 40 of its final 44.9 units a second.
    EXPECT_NEAR((reported[kSteps - 1] - reported[kSteps]) / kSubStep, 40.06, 0.05);
    EXPECT_NEAR(10.0 * kSubStep / (1.0 - keep), 44.9, 0.01);

    // Half a sub-step later the world has taken no new sub-step, and the
    // box reports the pose half way between the last two.
    const double last = box.CopyState(false).position.y;
    physics.Step(kSubStep / 2);
    const double half = box.CopyState(false).position.y;
    physics.Step(kSubStep / 2);
    const double next = box.CopyState(false).position.y;
    EXPECT_NEAR(half, (last + next) / 2, 0.01);
    EXPECT_LT(next, half);
    EXPECT_LT(half, last);
    physics.Shutdown();
}

}  // namespace
