/*
 * The agent UUID the runner uses when none is given: the MQTT client id,
 * so it should stay the same across runs on one machine.
 */
#ifndef TAVRIX_SINK_RUN_AGENT_UUID_H
#define TAVRIX_SINK_RUN_AGENT_UUID_H

#include <array>
#include <cstdint>
#include <string>

/* A UUID derived from the machine id in `machine_id_path`, or a random
 * one when that file holds no machine id. */
std::string default_agent_uuid(const std::string &machine_id_path = "/etc/machine-id");

/* The UUID of a machine id text (32 hex digits): stable, but not the
 * machine id itself, which is not to be shown to the network. Empty when
 * the text is not a machine id. */
std::string uuid_from_machine_id(const std::string &machine_id);

/* Sets the version 4 and RFC 4122 variant bits and writes the canonical
 * 8-4-4-4-12 form. */
std::string format_uuid(std::array<uint8_t, 16> bytes);

#endif
