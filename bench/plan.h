/*
 * What one run measures: the cells of the table, in the order they run.
 */
#ifndef TAVRIX_BENCH_PLAN_H
#define TAVRIX_BENCH_PLAN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class PublisherKind { PLUGIN, RAW, PUB_CLI, SINK_RUN };

const char *publisher_name(PublisherKind kind);

struct CellSpec {
    PublisherKind kind;
    int qos;
    std::size_t size;
    int channels;
    uint64_t payloads;
    /* Payloads per second; 0 hands them over as fast as possible. */
    unsigned rate;
    /* Seconds the broker is stopped (SIGSTOP) once the first message has
     * arrived; the host then keeps its default queue bound and holds its
     * input back while the queue is full, as the runner does. */
    unsigned stall_seconds = 0;

    uint64_t messages() const { return payloads * static_cast<uint64_t>(channels); }
    bool paced() const { return rate != 0; }
    bool stalled() const { return stall_seconds != 0; }
    /* Publisher, QoS, size and channels: what the peers of a cell share. */
    std::string Label() const;
};

/* The cells of a full run, or of a tiny one that only proves the
 * benchmark still works. `only` keeps the cells whose label contains it;
 * tavrix-sink-run's cells need `with_runner`. */
std::vector<CellSpec> make_plan(bool tiny, const std::string &only, bool with_runner);

#endif
