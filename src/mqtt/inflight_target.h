/*
 * How many QoS 1 and 2 publishes the worker keeps in flight.
 *
 * libmosquitto walks its list of messages in flight at every publish and
 * every acknowledgement, so each message costs in proportion to how many
 * are in flight: a window as wide as a far broker needs would cost a near
 * one several times the CPU, for nothing. The target keeps as many in
 * flight as the path needs to carry what the broker takes: the rate of
 * confirmations times the shortest round trip seen, twice over. While the
 * window limits the rate, that doubles the target every round trip, as a
 * TCP sender's slow start does; once the broker limits it, the target
 * stays at what the path holds.
 */
#ifndef TAVRIX_MQTT_INFLIGHT_TARGET_H
#define TAVRIX_MQTT_INFLIGHT_TARGET_H

#include <chrono>
#include <cstdint>

class InflightTarget
{
public:
    using Clock = std::chrono::steady_clock;

    /* Never fewer: below this the walk costs little, and a stream that
     * starts is not held to a trickle. */
    static constexpr uint64_t FLOOR = 64;
    /* How long the shortest round trip is remembered: a path that has
     * become slower is learnt within twice this. */
    static constexpr std::chrono::seconds MEMORY{30};
    /* The shortest period the rate is measured over. */
    static constexpr std::chrono::milliseconds RATE_PERIOD{20};

    /* A new connection: its path is not yet known. */
    void Reset(Clock::time_point now = Clock::now());
    /* A publish was confirmed `latency` after it was handed over. */
    void Confirmed(Clock::duration latency, Clock::time_point now = Clock::now());
    /* The most to keep in flight, within the window. */
    uint64_t Limit(uint64_t window) const;

private:
    Clock::duration ShortestRoundTrip() const;

    uint64_t target = FLOOR;
    Clock::duration shortest = Clock::duration::max();
    Clock::duration previous_shortest = Clock::duration::max();
    Clock::time_point memory_started;
    Clock::time_point period_started;
    uint64_t confirmed_in_period = 0;
};

#endif
