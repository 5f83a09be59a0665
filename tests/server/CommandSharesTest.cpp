// The share of the network thread's time that one host's commands may take.
#include <gtest/gtest.h>

#include <chrono>

#include "core/server/CommandShares.h"

namespace {

using namespace std::chrono_literals;
using Tav::CommandShares;
using Verdict = CommandShares::Verdict;

const CommandShares::Limits kLimits{250ms, 2s};
const CommandShares::Clock::time_point t0 = CommandShares::Clock::time_point() + 1000s;

TEST(CommandShares, AHostRunsItsBurstThenIsDroppedUntilItHasEarnedTimeAgain)
{
    CommandShares shares(kLimits);
    const uint32_t host = 0x7F000001;
    // Twenty commands of 100 ms at once spend the burst of 2 s.
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(shares.Ask(host, t0), Verdict::Run) << i;
        shares.Charge(host, 100ms);
    }
    EXPECT_EQ(shares.Ask(host, t0), Verdict::FirstDrop);  // told once
    EXPECT_EQ(shares.Ask(host, t0), Verdict::Drop);
    // 250 ms a second: 25 ms earned after 100 ms.
    EXPECT_EQ(shares.Ask(host, t0 + 100ms), Verdict::Run);
    shares.Charge(host, 1s);  // a command may overdraw the account: 975 ms of debt
    EXPECT_EQ(shares.Ask(host, t0 + 3s), Verdict::FirstDrop) << "725 ms earned, 250 ms still owed";
    EXPECT_EQ(shares.Ask(host, t0 + 4100ms), Verdict::Run);
}

TEST(CommandShares, HostsHaveAccountsOfTheirOwnAndFullOnesAreForgotten)
{
    CommandShares shares(kLimits);
    ASSERT_EQ(shares.Ask(1, t0), Verdict::Run);
    shares.Charge(1, 10s);
    EXPECT_EQ(shares.Ask(1, t0), Verdict::FirstDrop);
    EXPECT_EQ(shares.Ask(2, t0), Verdict::Run) << "another host is not held back";

    // Many hosts that ran one cheap command each: once their accounts are
    // full again, they go; the one still in debt stays.
    for (uint32_t h = 10; h < 1010; ++h) {
        ASSERT_EQ(shares.Ask(h, t0), Verdict::Run);
        shares.Charge(h, 1ms);
    }
    EXPECT_GT(shares.HostsTracked(), 1000u);
    EXPECT_EQ(shares.Ask(3, t0 + 2s), Verdict::Run);
    EXPECT_LE(shares.HostsTracked(), 3u);
    EXPECT_EQ(shares.Ask(1, t0 + 2s), Verdict::Drop) << "its debt was kept";
    // A pause of years neither overflows nor leaves the account beyond its burst.
    EXPECT_EQ(shares.Ask(1, t0 + std::chrono::hours(24 * 365 * 50)), Verdict::Run);
    shares.Charge(1, 2s);
    EXPECT_EQ(shares.Ask(1, t0 + std::chrono::hours(24 * 365 * 50)), Verdict::FirstDrop);
}

}  // namespace
