#pragma once
// How much of the network thread's time the commands of one remote host may
// take. Clients' commands run on the network thread, and a command can be
// costly (a design import parses up to megabytes of XML): a host that sent
// such commands without pause would keep the thread from every other
// player's messages. Each host (by IP address, so that many connections of
// one host share one account) may spend a share of the time per second, and
// a burst of it at once; while a host's account is spent, its commands are
// dropped. Network thread only.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <unordered_map>

namespace Tav {

class CommandShares {
public:
    using Clock = std::chrono::steady_clock;

    struct Limits {
        Clock::duration perSecond;  // the time a host earns per second
        Clock::duration burst;      // the most a host can have saved up
    };
    // A quarter of the thread, and two seconds at once: far beyond what a
    // person typing commands or importing a design needs.
    static constexpr Limits kDefaultLimits{std::chrono::milliseconds(250), std::chrono::seconds(2)};

    enum class Verdict {
        Run,         // the host has time left
        Drop,        // its time is spent: the command is dropped
        FirstDrop,   // as Drop, and the first since the host last ran one
    };

    explicit CommandShares(Limits limits = kDefaultLimits);

    // Whether a command of host may run at now.
    Verdict Ask(uint32_t host, Clock::time_point now);
    // The command of host that Ask let run took the time took.
    void Charge(uint32_t host, Clock::duration took);

    // Hosts with an account that is not full (a full one is as good as none).
    size_t HostsTracked() const { return accounts_.size(); }

private:
    struct Account {
        Clock::duration balance;
        Clock::time_point updated;
        bool dropping = false;
    };
    void Refill(Account& account, Clock::time_point now) const;
    void ForgetFullAccounts(Clock::time_point now);

    Limits limits_;
    std::unordered_map<uint32_t, Account> accounts_;
    Clock::time_point lastSweep_{};
};

}  // namespace Tav
