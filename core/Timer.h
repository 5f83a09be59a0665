#pragma once
#include <functional>
#include <memory>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>

namespace Tav {

// An abstract clock measuring in seconds with millisecond resolution.
class Timer {
public:
    // Takes a new time stamp.
    virtual void Update() = 0;
    // Restarts the measurement: both stamps become now.
    virtual void Reset() = 0;
    // Seconds between the last two stamps.
    virtual double GetDelta() = 0;
    // Seconds from the earlier of the two stamps to now.
    virtual double GetElapsed() = 0;
    virtual ~Timer() = default;

    // A new, already reset timer. The kind is not looked at: every kind gets a
    // BoostTimer.
    static std::shared_ptr<Timer> Create(std::string kind);
};

// The timer on Boost's UTC microsecond clock.
class BoostTimer : public Timer {
public:
    using Clock = std::function<boost::posix_time::ptime()>;

    BoostTimer();
    // A timer reading the given clock in place of the UTC clock.
    explicit BoostTimer(Clock clock);

    void Update() override;
    void Reset() override;
    double GetDelta() override;
    double GetElapsed() override;

private:
    static double ToSeconds(const boost::posix_time::time_duration& d);

    Clock clock_;
    boost::posix_time::ptime prev_;
    boost::posix_time::ptime cur_;
};

}  // namespace Tav
