/*
 * What an instance tells its broker's watchers of itself, the MQTT way:
 * a will, which the broker publishes when the connection ends without a
 * DISCONNECT (a crash, a cut cable); a birth message after every CONNACK;
 * and, at a clean stop, the will's payload published by the instance
 * itself, since a clean DISCONNECT makes the broker drop the will. All
 * three go to one topic, retained by default, so that a watcher who comes
 * later still learns the last word: the availability topic of Home
 * Assistant, Node-RED's birth, close and will.
 *
 * None of them is a payload's publish: they never enter the publish
 * record, and their confirmations are told apart by their message ids.
 * The messages are taken when an attempt starts and kept for its
 * connection: the will the broker holds, the birth and the farewell go
 * to the same topic, whatever a reload changes meanwhile.
 */
#ifndef TAVRIX_MQTT_LIVENESS_H
#define TAVRIX_MQTT_LIVENESS_H

#include <chrono>
#include <string>

#include "broker_limits.h"

struct mosquitto;

class Liveness
{
public:
    struct Messages {
        /* Expanded; empty: no will, no birth, no farewell. */
        std::string topic;
        std::string will_payload;
        std::string birth_payload;
        int qos = 1;
        bool retain = true;
    };

    /* The farewell's share of a stop: the host waits 2 s for the worker. */
    static constexpr std::chrono::milliseconds FAREWELL_LIMIT{1000};

    /* On a freshly initialised client, before its connect: sets the will
     * of `messages`, which the connection keeps. The library's result; a
     * topic that is empty or holds a NUL is refused as the library
     * refuses one with a wildcard. */
    int Arm(struct mosquitto *mosq, Messages messages);
    /* After the CONNACK, once per connection: the birth, at a QoS and
     * with a retain flag the broker takes. The library's result; success
     * when none is due. */
    int Announce(struct mosquitto *mosq, const BrokerLimits &limits);
    /* At a clean stop, connected: the will's payload, as the birth. The
     * library's result. */
    int SayFarewell(struct mosquitto *mosq, const BrokerLimits &limits);
    /* The library's publish callback: whether `mid` was the birth's or
     * the farewell's. */
    bool Confirm(int mid);

    bool Armed() const { return !armed.topic.empty(); }
    bool FarewellConfirmed() const { return farewell_confirmed; }
    const std::string &Topic() const { return armed.topic; }

private:
    static constexpr int NONE = -1;
    int Publish(struct mosquitto *mosq, const BrokerLimits &limits, const std::string &payload,
        int &mid);

    Messages armed;
    bool birth_due = false;
    int birth_mid = NONE;
    int farewell_mid = NONE;
    bool farewell_confirmed = false;
};

#endif
