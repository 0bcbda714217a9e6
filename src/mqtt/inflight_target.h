/*
 * How many QoS 1 and 2 publishes the worker keeps in flight.
 *
 * libmosquitto walks its list of messages in flight at every publish and
 * every acknowledgement, so each message costs in proportion to how many
 * are in flight: a window as wide as a far broker needs would cost a near
 * one several times the CPU, for nothing. So the target is the fewest in
 * flight that carry what the path and the broker take, found by trying.
 *
 * While the target is what holds payloads back (the worker is about to
 * wait on the socket with the target reached and payloads queued), it
 * doubles each round trip, as a TCP sender's slow start does, and each
 * round's rate of confirmations is noted against the target it was made
 * under. When two rounds in a row bring no gain of a quarter, the broker
 * or the CPU sets the rate: the target falls back to the smallest that
 * made four fifths of the best rate of the growth, and holds. A near
 * broker, whose rate no wider target raises, ends near the floor after a
 * few rounds of 20 ms; a far one gets what its round trip needs within a
 * few round trips. While the target holds payloads back and two rounds in
 * a row carry less than half of what it made when chosen (a path that
 * became slower, a broker that slowed down), it grows again, from what
 * would carry that rate again were the round trip all that changed.
 *
 * A round lasts a round trip at the least (the shortest latency the round
 * before saw, so that a path that became slower is followed at once), and
 * 20 ms at the least, so that a rate has enough confirmations to count.
 */
#ifndef TAVRIX_MQTT_INFLIGHT_TARGET_H
#define TAVRIX_MQTT_INFLIGHT_TARGET_H

#include <chrono>
#include <cstdint>
#include <vector>

class InflightTarget
{
public:
    using Clock = std::chrono::steady_clock;

    /* Never fewer: below this the walk costs little, and a stream that
     * starts is not held to a trickle. */
    static constexpr uint64_t FLOOR = 64;
    /* Never more: MQTT's message ids. */
    static constexpr uint64_t CEILING = 65535;
    /* The shortest round. */
    static constexpr std::chrono::milliseconds RATE_PERIOD{20};
    /* The gain per round that keeps a growth going, the rounds without it
     * that end it, and the share of the best rate the target chosen then
     * must have made. */
    static constexpr double GAIN = 1.25;
    static constexpr int PLATEAU_ROUNDS = 2;
    static constexpr double ENOUGH = 0.8;
    /* The share of the chosen target's rate below which it grows again. */
    static constexpr double FALL = 0.5;

    /* A new connection: its path is not yet known. */
    void Reset();
    /* A publish was confirmed `latency` after it was handed over. */
    void Confirmed(Clock::duration latency, Clock::time_point now = Clock::now());
    /* The worker is about to wait with the target reached and payloads
     * queued: the target holds them back. */
    void Starved() { starved = true; }
    /* The most to keep in flight, within the window. */
    uint64_t Limit(uint64_t window) const;

private:
    struct Trial {
        uint64_t target;
        double rate;
    };

    void EndRound(double rate);
    void GrowingRound(uint64_t in_force, double rate);
    void HeldRound(double rate);
    void Choose();

    uint64_t target = FLOOR;
    /* The target of the round before: the one most publishes confirmed
     * in a round were handed over under, on a path whose round trip is
     * about a round. */
    uint64_t previous_target = FLOOR;
    bool growing = true;
    /* The growth under way: each round's target and rate. */
    std::vector<Trial> trials;
    double best_rate = 0;
    int rounds_without_gain = 0;
    /* What the chosen target made, and the rounds in a row below FALL of it. */
    double chosen_rate = 0;
    int rounds_fallen = 0;

    /* Unset until the connection's first confirmation starts a round. */
    Clock::time_point round_started;
    uint64_t confirmed_in_round = 0;
    bool starved = false;
    /* The shortest latency of this round, and of the round before. */
    Clock::duration shortest = Clock::duration::max();
    Clock::duration round_trip = Clock::duration::zero();
};

#endif
