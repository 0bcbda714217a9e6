/*
 * One run of the plug-in, from loading it to the summary line: the host's
 * session with its agent UUID, the plug-in library and its instance.
 */
#ifndef TAVRIX_SINK_RUN_RUNNER_H
#define TAVRIX_SINK_RUN_RUNNER_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "options.h"

enum ExitStatus {
    EXIT_DELIVERED = 0,     // the broker has everything that was read
    EXIT_PLUGIN_FAILED = 1, // refused or failed plug-in, unreadable input
    EXIT_USAGE = 2,         // bad flags, missing files
    EXIT_UNREACHABLE = 3,   // no broker accepted the plug-in in time
    EXIT_INCOMPLETE = 4,    // payloads dropped, never published or unacknowledged
    EXIT_KEPT = 5,          // not all delivered; the rest kept in the spool
    EXIT_SIGNAL_BASE = 128, // plus the number of the signal that stopped the run
};

/* Runs the plug-in as the options say; returns the exit status. Throws
 * UsageError for missing files; any other exception (a file it cannot
 * merge, a plug-in refused) is the one line to print before exit 1. */
int run(const Options &options);

/* The plug-in of the install that holds `stand_in`, the runner's own copy
 * of the host library (empty when that is no path). */
std::string installed_plugin(const std::string &stand_in);

/* The agent UUID when none is given: the MQTT client id, so it should stay
 * the same across runs on one machine. `source` is what it was derived
 * from, for the start-up line: a file's path, "host name" or "random". */
struct AgentUuid {
    std::string uuid;
    std::string source;
};

/* The UUID derived from the first of `files` that holds a machine id,
 * else from `host_name` when it is not empty, else a random one. */
AgentUuid default_agent_uuid(const std::vector<std::string> &files, const std::string &host_name);

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
