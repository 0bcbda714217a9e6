/*
 * What the broker's log tells of one client's connections so far: how
 * often it connected, and how many of its connections ended other than by
 * its own DISCONNECT (the broker dropped it, the link broke, it went away
 * without a word). The log is mosquitto's, with connection messages on.
 */
#ifndef TAVRIX_BENCH_BROKER_LOG_H
#define TAVRIX_BENCH_BROKER_LOG_H

#include <cstdint>
#include <string>

struct ConnectionHistory {
    uint64_t connections = 0;
    uint64_t drops = 0;

    uint64_t Reconnects() const { return connections > 1 ? connections - 1 : 0; }
};

ConnectionHistory connection_history(const std::string &log, const std::string &client_id);

#endif
