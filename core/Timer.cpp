#include "core/Timer.h"

#include <boost/date_time/posix_time/posix_time.hpp>

namespace Tav {

std::shared_ptr<Timer> Timer::Create(std::string /*kind*/) {
    return std::make_shared<BoostTimer>();
}

BoostTimer::BoostTimer() : BoostTimer([] { return boost::posix_time::microsec_clock::universal_time(); }) {}

BoostTimer::BoostTimer(Clock clock) : clock_(std::move(clock)) { Reset(); }

void BoostTimer::Update() {
    prev_ = cur_;
    cur_ = clock_();
}

void BoostTimer::Reset() { prev_ = cur_ = clock_(); }

double BoostTimer::ToSeconds(const boost::posix_time::time_duration& d) {
    // Whole milliseconds, truncated toward zero, then seconds.
    const long long milliseconds = static_cast<long long>(d.total_microseconds()) / 1000;
    return static_cast<double>(milliseconds) / 1000.0;
}

double BoostTimer::GetDelta() { return ToSeconds(cur_ - prev_); }

double BoostTimer::GetElapsed() { return ToSeconds(clock_() - prev_); }

}  // namespace Tav
