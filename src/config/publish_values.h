/*
 * The values without which no publish can be made: a topic template whose
 * fixed text makes a topic, and a QoS that MQTT has. A configuration
 * without them would take every payload from the agent's queue and
 * discard it, one log line each, so a load refuses it instead. Shared
 * with the hosts that check a file before handing it over, so that both
 * read a template alike.
 */
#ifndef TAVRIX_CONFIG_PUBLISH_VALUES_H
#define TAVRIX_CONFIG_PUBLISH_VALUES_H

#include <cstdint>
#include <string>

/* Whether `topic` holds + or # outside its "${...}" references: what a
 * variable expands to is the agent's, and told at publish time. */
bool config_topic_has_wildcard(const std::string &topic);

/* Why no publish could be made with this topic template and QoS, naming
 * the key; empty when publishes can be made. */
std::string config_publish_problem(const std::string &topic, int32_t qos);

#endif
