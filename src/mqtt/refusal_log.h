/*
 * The log of publishes refused for a reason that holds for many of them:
 * a broker that denies a topic refuses every message on it, at the rate
 * they come. One line when a (topic, reason) pair starts failing, then,
 * while it goes on, a count at most every INTERVAL, never a line per
 * message. A pair that has had no refusal for an INTERVAL, with every
 * refusal told, has ended: its next refusal starts it again.
 */
#ifndef TAVRIX_MQTT_REFUSAL_LOG_H
#define TAVRIX_MQTT_REFUSAL_LOG_H

#include <chrono>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RefusalLog
{
public:
    using Clock = std::chrono::steady_clock;
    static constexpr std::chrono::seconds INTERVAL{10};

    /* A publish on `topic` refused for `reason`. True when the pair starts
     * failing with it: the caller logs that one itself. */
    bool Refused(const std::string &topic, const std::string &reason,
        Clock::time_point now = Clock::now());
    /* A line for each pair refused again since it was last told, once its
     * INTERVAL has passed (`all`: at once, as at the end). */
    std::vector<std::string> Counts(bool all = false, Clock::time_point now = Clock::now());
    bool Empty() const { return pairs.empty(); }

private:
    struct Pair {
        uint64_t untold = 0;
        Clock::time_point told;
        Clock::time_point last;
    };
    std::map<std::pair<std::string, std::string>, Pair> pairs;
};

#endif
