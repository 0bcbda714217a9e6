#include "inflight_target.h"

#include <algorithm>

void InflightTarget::Reset(Clock::time_point now)
{
    target = FLOOR;
    shortest = previous_shortest = Clock::duration::max();
    memory_started = period_started = now;
    confirmed_in_period = 0;
}

InflightTarget::Clock::duration InflightTarget::ShortestRoundTrip() const
{
    return std::min(shortest, previous_shortest);
}

void InflightTarget::Confirmed(Clock::duration latency, Clock::time_point now)
{
    if (now - memory_started >= MEMORY) {
        previous_shortest = shortest;
        shortest = Clock::duration::max();
        memory_started = now;
    }
    shortest = std::min(shortest, latency);
    ++confirmed_in_period;
    // Measured over a round trip at the least, so that a window-limited
    // rate shows the whole window.
    auto period = now - period_started;
    Clock::duration round_trip = ShortestRoundTrip();
    if (period < std::max<Clock::duration>(RATE_PERIOD, round_trip)) {
        return;
    }
    double seconds = std::chrono::duration<double>(period).count();
    double rate = static_cast<double>(confirmed_in_period) / seconds;
    double holds = rate * std::chrono::duration<double>(round_trip).count();
    target = std::max<uint64_t>(FLOOR, static_cast<uint64_t>(2 * holds));
    period_started = now;
    confirmed_in_period = 0;
}

uint64_t InflightTarget::Limit(uint64_t window) const
{
    return std::min(target, window);
}
