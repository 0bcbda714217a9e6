/*
 * Handing payloads to the plug-in without losing any on the runner's
 * side: no input before the broker has accepted the plug-in (an
 * unreachable broker is told at once, not after the whole input), no
 * payload into a full queue (the queue drops it), a bound on the
 * publishes libmosquitto holds, and at the end no stop before
 * libmosquitto has confirmed every publish.
 *
 * With a spool the input is read at once: the spool keeps what waits for
 * the broker, so only the queue into it is bounded, and the end of the
 * run waits for a first connection, then until the spool is empty.
 */
#ifndef TAVRIX_SINK_RUN_DELIVERY_H
#define TAVRIX_SINK_RUN_DELIVERY_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>

#include <host/tavrixd.h>
#include <sink_status.h>

#include "input.h"
#include "signals.h"

class Delivery
{
public:
    /* Publishes the runner lets libmosquitto hold unconfirmed: QoS 1 and 2
     * messages stay there until the broker acknowledges them. */
    static constexpr uint64_t OUTSTANDING_LIMIT = 20000;
    /* How long the end of a run waits without any progress: longer than the
     * plug-in takes to give up a broker that hangs (two keep-alive periods,
     * 30 s) and connect again. */
    static constexpr std::chrono::seconds STALL_LIMIT{45};

    enum class Connect { CONNECTED, WORKER_ENDED, STOPPED, TIMED_OUT };
    /* UNREACHABLE: with a spool, no connection within the limit. */
    enum class Drain { DONE, STALLED, INTERRUPTED, UNREACHABLE };

    /* Every payload goes to `channels`; `status` asks the plug-in for its
     * figures. */
    Delivery(agPluginSink &plugin_, RunEvents &events_, const std::set<std::string> &channels_,
        std::function<SinkStatus()> status_)
        : plugin(plugin_), events(events_), channels(channels_), status(std::move(status_))
    {
    }

    Connect wait_for_broker(std::chrono::milliseconds limit);
    /* The plug-in has loaded its configuration (its figures come with it)
     * and opened its spool, or found it cannot: CONNECTED then. */
    Connect wait_for_spool(std::chrono::milliseconds limit);

    /* Queues every payload of the input until it ends or the run is
     * interrupted; returns how it ended. */
    InputReader::Result feed(InputReader &input);

    /* Waits until the queue is empty, the worker has handed over all it
     * took, and every publish is settled (confirmed, refused by the broker
     * or given up); gives up after STALL_LIMIT without progress, and
     * STALL_LIMIT after a stop request at the latest. With a spool, also
     * until the spool is empty, after a first connection that it waits
     * `connect_limit` for. */
    Drain drain(std::chrono::milliseconds connect_limit);

    uint64_t read() const { return read_count.load(); }

    /* Payloads that may go into the queue now, one after another, without
     * the publishes libmosquitto holds ever exceeding OUTSTANDING_LIMIT. */
    uint64_t room();

private:
    template <typename Ready>
    Connect wait_for_status(std::chrono::milliseconds limit, Ready ready);
    bool wait_for_room();
    template <typename Done, typename Progress>
    Drain wait_for(Done done, Progress progress);
    bool must_give_up() const { return events.has_worker_ended() || events.hurry(); }

    agPluginSink &plugin;
    RunEvents &events;
    const std::set<std::string> &channels;
    const std::function<SinkStatus()> status;
    std::atomic<uint64_t> read_count{0};
    uint64_t credit = 0; // payloads that may go in without another look
    std::optional<Clock::time_point> stop_deadline; // once a stop is requested
};

#endif
