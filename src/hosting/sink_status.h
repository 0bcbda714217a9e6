/*
 * What a hosted instance reports of itself through the agent's status
 * hook (with report_status on in its configuration): the host's one
 * source for its connection and its deliveries.
 */
#ifndef TAVRIX_HOSTING_SINK_STATUS_H
#define TAVRIX_HOSTING_SINK_STATUS_H

#include <cstdint>
#include <string>

#include <host/tavrixd.h>

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
    uint64_t lost = 0;             // given up: refused when handed over again
    uint64_t refused = 0;          // publishes libmosquitto refused
    std::string last_refusal;
    std::string last_connection_error;
    std::string last_library_error;
};

/* Asks the instance tagged `tag` for its figures. */
SinkStatus sink_status(agPluginSink &sink, const std::string &tag);

#endif
