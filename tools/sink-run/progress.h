/*
 * The runner's figures: the progress line (--stats), the summary, and
 * why a run fell short.
 */
#ifndef TAVRIX_SINK_RUN_PROGRESS_H
#define TAVRIX_SINK_RUN_PROGRESS_H

#include <cstdint>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include <sink_status.h>

struct Snapshot {
    uint64_t read = 0;    // payloads taken from the input
    uint64_t queued = 0;  // payloads the host's queue took
    uint64_t dropped = 0; // payloads the host's queue refused
    uint64_t waiting = 0; // payloads in the queue now
    SinkStatus sink;      // the plug-in's own figures
    double elapsed = 0;   // seconds since the start

    /* Publish requests: one per payload and channel, refused ones too;
     * each counted once, however often a broken connection made the
     * plug-in hand it over again (sink.resent). */
    uint64_t published() const { return sink.published + sink.refused; }
    /* Publishes libmosquitto took and neither confirmed nor had refused by
     * the broker: still waiting, or given up. */
    uint64_t unacknowledged() const { return sink.unconfirmed + sink.lost; }
};

std::string format_progress(const Snapshot &snapshot);
std::string format_summary(const Snapshot &snapshot);

struct RunEnd {
    bool stalled = false;   // gave up waiting: 45 s without progress, or after the stop request
    bool cut_short = false; // a second signal ended the wait
    uint64_t losses = 0;    // connections that ended before the stop
    bool stopped = false;   // a signal asked the run to stop
    bool unreachable = false; // with a spool: no broker accepted the plug-in
};

/* Why a run fell short, one line each (empty when it did not): payloads
 * every one of `channels` should have carried, and how the run ended.
 * What a working spool still holds is kept, not lost: not a shortfall. */
std::vector<std::string> shortfalls(const Snapshot &snapshot, std::size_t channels,
    const RunEnd &end);

/* Prints a progress line to standard error every second until destroyed. */
class ProgressLines
{
public:
    explicit ProgressLines(std::function<Snapshot()> sample);
    ~ProgressLines();

private:
    std::promise<void> stop;
    std::thread thread;
};

#endif
