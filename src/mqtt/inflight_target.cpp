#include "inflight_target.h"

#include <algorithm>

void InflightTarget::Reset()
{
    *this = InflightTarget();
}

void InflightTarget::Confirmed(Clock::duration latency, Clock::time_point now)
{
    shortest = std::min(shortest, latency);
    if (round_started == Clock::time_point()) {
        round_started = now;
        return;
    }
    ++confirmed_in_round;
    auto elapsed = now - round_started;
    if (elapsed < std::max<Clock::duration>(RATE_PERIOD, round_trip)) {
        return;
    }
    EndRound(static_cast<double>(confirmed_in_round) / std::chrono::duration<double>(elapsed).count());
    round_trip = shortest;
    shortest = Clock::duration::max();
    round_started = now;
    confirmed_in_round = 0;
    starved = false;
}

void InflightTarget::EndRound(double rate)
{
    // Under a target that grew, most of the round's confirmations are of
    // publishes handed over under the one before; under a near broker's
    // round trip, of this one. The smaller is the one to credit.
    const uint64_t in_force = std::min(previous_target, target);
    previous_target = target;
    if (growing) {
        GrowingRound(in_force, rate);
    } else {
        HeldRound(rate);
    }
}

void InflightTarget::GrowingRound(uint64_t in_force, double rate)
{
    trials.push_back({in_force, rate});
    rounds_without_gain = rate >= GAIN * best_rate ? 0 : rounds_without_gain + 1;
    best_rate = std::max(best_rate, rate);
    if (rounds_without_gain >= PLATEAU_ROUNDS) {
        Choose();
    } else if (starved) {
        target = std::min(target * 2, CEILING);
    }
}

// The smallest target that made nearly the best rate.
void InflightTarget::Choose()
{
    Trial chosen = trials.back();
    for (const Trial &trial : trials) {
        if (trial.rate >= ENOUGH * best_rate && trial.target < chosen.target) {
            chosen = trial;
        }
    }
    target = previous_target = chosen.target;
    chosen_rate = chosen.rate;
    growing = false;
    trials.clear();
    rounds_fallen = 0;
}

// Held back and carrying far less than it did: the path or the broker
// changed. The growth starts again where the rate it made would come
// back, were its round trip all that changed (a path twenty times as long
// wants twenty times as many in flight), and goes on from there.
void InflightTarget::HeldRound(double rate)
{
    rounds_fallen = starved && rate < FALL * chosen_rate ? rounds_fallen + 1 : 0;
    if (rounds_fallen < PLATEAU_ROUNDS) {
        return;
    }
    growing = true;
    best_rate = rate;
    rounds_without_gain = 0;
    trials.push_back({target, rate});
    const double back = chosen_rate / std::max(rate, 1.0);
    target = static_cast<uint64_t>(
        std::min(static_cast<double>(target) * back, static_cast<double>(CEILING)));
}

uint64_t InflightTarget::Limit(uint64_t window) const
{
    return std::min(target, window);
}
