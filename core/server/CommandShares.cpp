#include "core/server/CommandShares.h"

namespace Tav {

namespace {
// Accounts are swept for full ones at most this often (and only when there
// are many), so that Ask stays cheap.
constexpr size_t kSweepAbove = 64;
constexpr auto kSweepEvery = std::chrono::seconds(1);
}  // namespace

CommandShares::CommandShares(Limits limits) : limits_(limits) {}

void CommandShares::Refill(Account& account, Clock::time_point now) const
{
    if (now <= account.updated) return;
    // elapsed * perSecond / 1 s, in floating point: a long pause must not
    // overflow the product.
    using Seconds = std::chrono::duration<double>;
    const double earned = Seconds(now - account.updated).count() * Seconds(limits_.perSecond).count();
    const double room = Seconds(limits_.burst - account.balance).count();
    account.balance = earned >= room ? limits_.burst
                                     : account.balance + std::chrono::duration_cast<Clock::duration>(Seconds(earned));
    account.updated = now;
}

void CommandShares::ForgetFullAccounts(Clock::time_point now)
{
    if (accounts_.size() <= kSweepAbove || now - lastSweep_ < kSweepEvery) return;
    lastSweep_ = now;
    for (auto it = accounts_.begin(); it != accounts_.end();) {
        Refill(it->second, now);
        if (it->second.balance >= limits_.burst)
            it = accounts_.erase(it);
        else
            ++it;
    }
}

CommandShares::Verdict CommandShares::Ask(uint32_t host, Clock::time_point now)
{
    ForgetFullAccounts(now);
    auto it = accounts_.find(host);
    if (it == accounts_.end()) {
        accounts_.emplace(host, Account{limits_.burst, now, false});
        return Verdict::Run;
    }
    Account& account = it->second;
    Refill(account, now);
    if (account.balance > Clock::duration::zero()) {
        account.dropping = false;
        return Verdict::Run;
    }
    const bool first = !account.dropping;
    account.dropping = true;
    return first ? Verdict::FirstDrop : Verdict::Drop;
}

void CommandShares::Charge(uint32_t host, Clock::duration took)
{
    auto it = accounts_.find(host);
    if (it == accounts_.end() || took <= Clock::duration::zero()) return;
    it->second.balance -= took;
}

}  // namespace Tav
