/*
 * One cell of the table: a fresh subscriber, one publisher, N payloads,
 * and what came out at the other end.
 */
#ifndef TAVRIX_BENCH_CELL_H
#define TAVRIX_BENCH_CELL_H

#include <cstdint>
#include <string>

#include <sys/types.h>

#include "plan.h"

class BenchBrokers;

struct BenchContext {
    /* The benchmark program, re-run for the child roles. */
    std::string program;
    std::string workdir;
    /* The broker of each link; a stall cell pauses one for a while. */
    BenchBrokers *brokers;
};

struct CellResult {
    CellSpec setup;
    /* Empty when the cell ran to its end. */
    std::string error;
    uint64_t expected = 0;
    uint64_t received = 0;
    uint64_t duplicates = 0;
    uint64_t corrupt = 0;
    uint64_t dropped = 0;
    /* First payload handed over to last message received. */
    double seconds = 0;
    /* First payload handed over to first message received. */
    double first_delay = 0;
    /* First message received to last. */
    double flow_seconds = 0;
    double cpu_seconds = 0;
    double host_cpu_seconds = 0;
    long peak_rss_kb = 0;
    double latency_p50_ms = 0;
    double latency_p99_ms = 0;
    double latency_max_ms = 0;
    /* The publisher's connections up to the cell's end, as the broker's
     * log has them: how many, how many beyond one per process, and how
     * many ended other than by the publisher's DISCONNECT. */
    uint64_t connections = 0;
    uint64_t reconnects = 0;
    uint64_t drops = 0;

    uint64_t Lost() const { return expected > received ? expected - received : 0; }
    double MessagesPerSecond() const;
    double MegabytesPerSecond() const;
    /* The rate once messages flow: the start delay left out. */
    double FlowMessagesPerSecond() const;
    double CpuPer100k() const;
    double HostCpuPer100k() const;
};

CellResult run_cell(const CellSpec &setup, const BenchContext &context, int index);

#endif
