/*
 * Handing payloads to the plug-in without losing any on the runner's
 * side: no input before the broker has accepted the plug-in (it drops
 * payloads while unconnected), no payload into a full queue (the queue
 * drops it), and at the end no stop before the broker has what was handed
 * over.
 */
#ifndef TAVRIX_SINK_RUN_DELIVERY_H
#define TAVRIX_SINK_RUN_DELIVERY_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <set>
#include <string>

#include <host/tavrixd.h>

#include "input_reader.h"
#include "log_watch.h"
#include "run_events.h"

class Delivery
{
public:
    /* Payloads the runner lets wait in the host's queue. */
    static constexpr std::size_t QUEUE_LIMIT = agPluginSink::DEFAULT_QUEUE_LIMIT;
    /* Publishes the runner lets wait for their acknowledgement. */
    static constexpr uint64_t OUTSTANDING_LIMIT = 20000;
    /* How long the end of a run waits without any progress. */
    static constexpr std::chrono::seconds STALL_LIMIT{30};
    /* A pass of the worker this long had nothing it could write: just
     * under its 1 s select time-out. */
    static constexpr std::chrono::milliseconds IDLE_PASS{900};

    enum class Connect { CONNECTED, WORKER_ENDED, STOPPED, TIMED_OUT };
    enum class Drain { DONE, STALLED, INTERRUPTED };

    Delivery(agPluginSink &plugin, LogWatch &watch, RunEvents &events);

    /* Waits until the broker has accepted the plug-in. */
    Connect wait_for_broker(std::chrono::milliseconds limit);

    /* Queues every payload of the input, each for all `channels`, until
     * the input ends or the run is interrupted; returns how it ended. */
    InputReader::Result feed(InputReader &input, const std::set<std::string> &channels);

    /* Waits until the queue is empty, the plug-in has published what it
     * took, and the broker has acknowledged every publish that it will
     * acknowledge, and a pass of the worker found nothing to write; gives
     * up after STALL_LIMIT without progress. */
    Drain drain();

    uint64_t read() const { return read_count.load(); }

private:
    bool wait_for_room();
    Drain wait_for_empty_queue();
    Drain wait_for_two_polls();
    Drain wait_for_acknowledgements();
    Drain wait_for_idle_pass();
    bool must_give_up() const;

    agPluginSink &plugin;
    LogWatch &watch;
    RunEvents &events;
    std::atomic<uint64_t> read_count{0};
};

#endif
