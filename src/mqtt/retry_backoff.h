/*
 * How long the worker waits between connection attempts.
 *
 * A broker that is down for a while should not see an attempt every
 * second from every gateway, nor all of them at the same moment when it
 * comes back: the wait doubles after every attempt that did not reach the
 * broker's CONNACK, up to a ceiling, and each wait is shortened by a
 * random part of up to a fifth. A CONNACK brings it back to the first.
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

    RetryBackoff();

    /* The wait after the attempt being made now; the one after the next
     * attempt will be twice as long, up to LONGEST. */
    std::chrono::milliseconds Next();
    /* The broker answered: the next wait is FIRST again. */
    void Reset() { base = FIRST; }

private:
    std::chrono::milliseconds base = FIRST;
    std::minstd_rand random;
};

#endif
