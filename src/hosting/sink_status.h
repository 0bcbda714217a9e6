/*
 * What a hosted instance reports of itself through the agent's status
 * hook (with report_status on in its configuration): the host's one
 * source for its connection and its deliveries.
 */
#ifndef TAVRIX_HOSTING_SINK_STATUS_H
#define TAVRIX_HOSTING_SINK_STATUS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <host/tavrixd.h>

/* The instance's disk spool, when its configuration sets spool_dir. */
struct SinkSpool {
    bool configured = false;
    std::string dir;
    uint64_t payloads = 0; // held and not done
    uint64_t bytes = 0;    // of its files
    std::optional<uint64_t> oldest_age_s;
    uint64_t dropped = 0;  // by its bound
    uint64_t replayed = 0; // spooled before the instance started, handed out since
    uint64_t skipped = 0;  // lost to torn or bad records
    uint64_t write_failures = 0;
    std::string state;     // "ok" or "failed: ..."

    bool ok() const { return configured && state == "ok"; }
};

struct SinkStatus {
    /* False until the instance has loaded a configuration that asks for
     * its figures: every other field is then zero or empty. */
    bool reported = false;
    bool connected = false;
    std::string broker;
    uint64_t connections = 0;      // accepted by the broker
    uint64_t connections_lost = 0; // of these, ended
    uint64_t payloads_taken = 0;   // from the host's queue, each handed over
    uint64_t published = 0;        // publishes libmosquitto took, each once
    uint64_t confirmed = 0;        // written (QoS 0) or acknowledged (QoS 1, 2)
    uint64_t unconfirmed = 0;      // taken, neither confirmed nor given up yet
    uint64_t resent = 0;           // handed over again after a broken connection
    uint64_t lost = 0;             // given up by the plug-in
    uint64_t refused = 0;          // publishes libmosquitto (or the broker's packet size) refused
    uint64_t refused_by_broker = 0; // taken, then refused by the broker (MQTT 5)
    uint64_t possibly_lost = 0;    // QoS 0, written into connections that broke
    std::map<std::string, uint64_t> broker_refusals; // by reason
    std::string last_broker_refusal;
    std::string protocol_version;
    /* The current connection's broker limits (MQTT 5), or null. */
    nlohmann::json broker_limits;
    std::string last_refusal;
    std::string last_connection_error;
    std::string last_library_error;
    SinkSpool spool;
};

/* Asks the instance tagged `tag` for its figures. */
SinkStatus sink_status(agPluginSink &sink, const std::string &tag);

#endif
