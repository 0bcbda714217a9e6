/*
 * The agent UUID the runner uses when none is given: the MQTT client id,
 * so it should stay the same across runs on one machine.
 */
#ifndef TAVRIX_SINK_RUN_AGENT_UUID_H
#define TAVRIX_SINK_RUN_AGENT_UUID_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

/* A default agent UUID and what it was derived from, for the start-up
 * line: a file's path, "host name" or "random". */
struct AgentUuid {
    std::string uuid;
    std::string source;
};

/* The files that may hold the machine's id, in the order they are tried:
 * systemd's, D-Bus's (Linux systems without systemd), and FreeBSD's host
 * UUID. */
const std::vector<std::string> &machine_id_files();

/* The UUID derived from the first of `files` that holds a machine id,
 * else from `host_name` when it is not empty, else a random one. */
AgentUuid default_agent_uuid(const std::vector<std::string> &files, const std::string &host_name);
/* The same for this machine. */
AgentUuid default_agent_uuid();

/* The UUID of a machine id text (32 hex digits, hyphens ignored): stable,
 * but not the machine id itself, which is not to be shown to the network.
 * Empty when the text is not a machine id. */
std::string uuid_from_machine_id(const std::string &machine_id);

/* The UUID of a host name, salted apart from the machine ids. */
std::string uuid_from_host_name(const std::string &host_name);

/* Sets the version 4 and RFC 4122 variant bits and writes the canonical
 * 8-4-4-4-12 form. */
std::string format_uuid(std::array<uint8_t, 16> bytes);

#endif
