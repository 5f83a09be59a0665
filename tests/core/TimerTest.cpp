#include <gtest/gtest.h>

#include <memory>

#include "core/Timer.h"

namespace Tav {
namespace {

using boost::posix_time::microseconds;
using boost::posix_time::ptime;

// A clock that the test moves by hand.
struct FakeClock {
    ptime now{boost::gregorian::date(2024, 1, 1)};
    BoostTimer::Clock Reader() {
        return [this] { return now; };
    }
};

TEST(Timer, CreateGivesAResetBoostTimer) {
    for (const char* kind : {"boost", "Boost", "anything"}) {
        std::shared_ptr<Timer> timer = Timer::Create(kind);
        ASSERT_NE(dynamic_cast<BoostTimer*>(timer.get()), nullptr);
        EXPECT_EQ(timer->GetDelta(), 0.0);
        EXPECT_GE(timer->GetElapsed(), 0.0);
    }
}

TEST(Timer, DeltaHasMillisecondResolutionTruncated) {
    struct Case {
        long long micros;
        double seconds;
    };
    const Case cases[] = {{1999, 0.001}, {999, 0.0}, {1000, 0.001}, {2500000, 2.5}, {-1999, -0.001}};
    for (const Case& c : cases) {
        FakeClock clock;
        BoostTimer timer(clock.Reader());
        clock.now += microseconds(c.micros);
        timer.Update();
        EXPECT_EQ(timer.GetDelta(), c.seconds) << c.micros;
        // GetDelta reads no clock.
        clock.now += microseconds(5000000);
        EXPECT_EQ(timer.GetDelta(), c.seconds) << c.micros;
    }
}

TEST(Timer, ElapsedCountsFromTheEarlierStamp) {
    FakeClock clock;
    BoostTimer timer(clock.Reader());
    clock.now += microseconds(3000);
    timer.Update();  // prev = 0, cur = 3 ms
    clock.now += microseconds(2000);
    EXPECT_EQ(timer.GetDelta(), 0.003);
    EXPECT_EQ(timer.GetElapsed(), 0.005);
    timer.Update();  // prev = 3 ms, cur = 5 ms
    clock.now += microseconds(1000);
    EXPECT_EQ(timer.GetElapsed(), 0.003);
    EXPECT_GE(timer.GetElapsed(), timer.GetDelta());
    timer.Reset();
    EXPECT_EQ(timer.GetDelta(), 0.0);
    EXPECT_EQ(timer.GetElapsed(), 0.0);
    // A clock set back shows up as a negative duration.
    clock.now -= microseconds(4000);
    EXPECT_EQ(timer.GetElapsed(), -0.004);
}

TEST(Timer, RealClockAdvances) {
    std::shared_ptr<Timer> timer = Timer::Create("boost");
    const ptime start = boost::posix_time::microsec_clock::universal_time();
    while (boost::posix_time::microsec_clock::universal_time() - start < boost::posix_time::milliseconds(3)) {
    }
    timer->Update();
    EXPECT_GE(timer->GetDelta(), 0.002);
    EXPECT_GE(timer->GetElapsed(), timer->GetDelta());
}

}  // namespace
}  // namespace Tav
