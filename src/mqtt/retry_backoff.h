/*
 * How long the worker waits between connection attempts.
 *
 * A broker that is down for a while should not see an attempt every
 * second from every gateway, nor all of them at the same moment when it
 * comes back: the wait doubles after every attempt that did not reach the
 * broker's CONNACK, up to a ceiling, and each wait is shortened by a
 * random part of up to a fifth. It comes back to the first wait once a
 * connection has proved the broker works: the broker acknowledged a
 * publish on it, or it stayed up STEADY. A CONNACK alone does not: a
 * broker that accepts a connection and drops it at once, over and over,
 * meets a growing wait.
 */
#ifndef TAVRIX_MQTT_RETRY_BACKOFF_H
#define TAVRIX_MQTT_RETRY_BACKOFF_H

#include <chrono>
#include <cstdint>
#include <random>

class RetryBackoff
{
public:
    static constexpr std::chrono::milliseconds FIRST{1000};
    static constexpr std::chrono::milliseconds LONGEST{30000};
    static constexpr std::chrono::seconds STEADY{10};

    RetryBackoff();

    /* The wait after the attempt being made now; the one after the next
     * attempt will be twice as long, up to LONGEST. */
    std::chrono::milliseconds Next();
    /* A connection the broker had accepted ended after `lasted`;
     * `acknowledged`: the broker acknowledged a publish on it. */
    void ConnectionEnded(std::chrono::steady_clock::duration lasted, bool acknowledged);

private:
    std::chrono::milliseconds base = FIRST;
    std::minstd_rand random;
};

#endif
