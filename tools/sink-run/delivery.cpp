#include "delivery.h"

#include <algorithm>
#include <memory>

// How often the plug-in's figures are looked at again while waiting.
constexpr std::chrono::milliseconds RECHECK{10};

Delivery::Connect Delivery::wait_for_broker(std::chrono::milliseconds limit)
{
    return wait_for_status(limit, [](const SinkStatus &now) { return now.connected; });
}

// The figures come with the load, the spool's a little later: until they
// do, a spool full from an earlier run would read as empty.
Delivery::Connect Delivery::wait_for_spool(std::chrono::milliseconds limit)
{
    return wait_for_status(
        limit, [](const SinkStatus &now) { return now.reported && now.spool.configured; });
}

template <typename Ready>
Delivery::Connect Delivery::wait_for_status(std::chrono::milliseconds limit, Ready ready)
{
    auto deadline = Clock::now() + limit;
    bool connected = false;
    while (!(connected = ready(status())) && !events.interrupted() && Clock::now() < deadline) {
        events.wait_until(std::min(deadline, Clock::now() + RECHECK),
            [this] { return events.interrupted(); });
    }
    if (events.has_worker_ended()) {
        return Connect::WORKER_ENDED;
    }
    if (events.stop_requested()) {
        return Connect::STOPPED;
    }
    return connected ? Connect::CONNECTED : Connect::TIMED_OUT;
}

InputReader::Result Delivery::feed(InputReader &input)
{
    std::string line;
    for (;;) {
        InputReader::Result result = input.next(line, events.interrupt_fd());
        if (result != InputReader::PAYLOAD) {
            return result;
        }
        read_count.fetch_add(1);
        auto payload = std::make_shared<agPluginSinkPayload>(line.data(), line.size(), channels);
        if (!wait_for_room()) {
            return InputReader::INTERRUPTED;
        }
        plugin.QueuePayload(payload);
    }
}

// What may end up outstanding once the queue is published: what already
// is, the queue, the payload the worker may hold between taking and
// publishing it, and the one to come. Each payload fed adds one payload's
// worth at most, so the room found is good for that many payloads without
// another look (which takes the locks the worker needs). A payload wider
// than the bound still goes, alone, when nothing else is ahead of it.
uint64_t Delivery::room()
{
    static_assert(OUTSTANDING_LIMIT < agPluginSink::DEFAULT_QUEUE_LIMIT,
        "the bound keeps the host's queue from filling");
    uint64_t per_payload = channels.size();
    // What a working spool takes waits on disk, not in libmosquitto.
    SinkStatus now = status();
    uint64_t ahead = (now.spool.ok() ? 0 : now.unconfirmed) +
        (plugin.GetPayloadQueueDepth() + 2) * per_payload;
    if (ahead > OUTSTANDING_LIMIT) {
        return ahead == 2 * per_payload ? 1 : 0;
    }
    return (OUTSTANDING_LIMIT - ahead) / per_payload + 1;
}

// A stop request still lets the payload already read go in; only a dead
// worker or a second request leaves it out.
bool Delivery::wait_for_room()
{
    if (credit > 0) {
        --credit;
        return true;
    }
    while ((credit = room()) == 0) {
        if (must_give_up()) {
            return false;
        }
        events.wait_until(Clock::now() + RECHECK, [this] { return must_give_up(); });
    }
    --credit;
    return true;
}

// Waits until done(), giving up after STALL_LIMIT without a change in
// progress(), or STALL_LIMIT after a stop request whatever the progress:
// a user who asked the run to stop must not wait on a broker that takes
// a message now and then.
template <typename Done, typename Progress>
Delivery::Drain Delivery::wait_for(Done done, Progress progress)
{
    auto mark = progress();
    auto stall_deadline = Clock::now() + STALL_LIMIT;
    for (;;) {
        if (events.stop_requested() && !stop_deadline) {
            stop_deadline = Clock::now() + STALL_LIMIT;
        }
        if (stop_deadline && Clock::now() >= *stop_deadline) {
            return Drain::STALLED;
        }
        events.wait_until(Clock::now() + RECHECK, [&] { return done() || must_give_up(); });
        if (must_give_up()) {
            return Drain::INTERRUPTED;
        }
        if (done()) {
            return Drain::DONE;
        }
        auto now = progress();
        if (now != mark) {
            mark = now;
            stall_deadline = Clock::now() + STALL_LIMIT;
        } else if (Clock::now() >= stall_deadline) {
            return Drain::STALLED;
        }
    }
}

// The plug-in counts a payload taken once it has handed over all its
// publishes: with every queued payload taken, every publish is made, and
// libmosquitto then confirms each (or the plug-in gives it up).
Delivery::Drain Delivery::drain(std::chrono::milliseconds connect_limit)
{
    Drain result = wait_for([this] { return plugin.WaitForPayloadQueueDepth(0, 0); },
        [this] { return plugin.GetPayloadQueueDepth(); });
    if (result != Drain::DONE) {
        return result;
    }
    const uint64_t queued = plugin.GetPayloadsQueued();
    result = wait_for([this, queued] { return status().payloads_taken >= queued; },
        [this] { return status().payloads_taken; });
    if (result != Drain::DONE) {
        return result;
    }
    auto settled = [](const SinkStatus &now) {
        return now.unconfirmed == 0 && now.spool.payloads == 0;
    };
    // A run that never reached the broker waits for it this long only:
    // what the spool holds is kept for the next run.
    SinkStatus start = status();
    if (start.spool.configured && start.connections == 0 && !settled(start)) {
        Connect first = wait_for_broker(connect_limit);
        if (first == Connect::TIMED_OUT) {
            return Drain::UNREACHABLE;
        }
        if (first == Connect::STOPPED) {
            return Drain::STALLED;
        }
    }
    // Only a publish settled is progress: a broker that accepts connections
    // and drops them, the same message unconfirmed each time, makes none.
    return wait_for([this, settled] { return settled(status()); }, [this] {
        SinkStatus now = status();
        return std::pair(now.confirmed + now.lost + now.refused_by_broker, now.spool.payloads);
    });
}
