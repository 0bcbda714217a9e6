/*
 * Which broker of `host` the next connection attempt goes to.
 *
 * An attempt that does not reach its CONNACK hands the next one to the
 * next broker of the list, round and round, so a broker that is down
 * costs one attempt, not the whole outage. A broker that has accepted the
 * instance is where the next attempt goes again after the connection
 * breaks: a restart of that broker should not move every gateway over to
 * the other one. The wait between attempts stays the back-off's.
 */
#ifndef TAVRIX_MQTT_BROKER_CHOICE_H
#define TAVRIX_MQTT_BROKER_CHOICE_H

#include <cstddef>
#include <vector>

#include "broker_list.h"

class BrokerChoice
{
public:
    /* The list as the configuration gives it now (never empty), before
     * every attempt: the same list keeps its place, another one (a
     * reload's) starts at its first broker. */
    void Assign(const std::vector<BrokerEntry> &list);
    /* The broker of the attempt that starts now. */
    const BrokerEntry &Next();
    /* The attempt under way has reached its CONNACK. */
    void Reached() { reached = true; }

private:
    std::vector<BrokerEntry> entries;
    std::size_t current = 0;
    bool attempted = false;
    bool reached = false;
};

#endif
