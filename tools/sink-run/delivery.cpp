#include "delivery.h"

#include <memory>

namespace {

// How often conditions the plug-in does not announce are looked at again.
constexpr std::chrono::milliseconds RECHECK{20};
constexpr unsigned RECHECK_MS = 20;

} // namespace

Delivery::Delivery(agPluginSink &plugin_, LogWatch &watch_, RunEvents &events_)
    : plugin(plugin_), watch(watch_), events(events_)
{
    plugin.SetPayloadQueueLimit(QUEUE_LIMIT);
}

Delivery::Connect Delivery::wait_for_broker(std::chrono::milliseconds limit)
{
    auto deadline = Clock::now() + limit;
    events.wait_until(deadline,
        [this] { return watch.connected() || events.interrupted(); });
    if (events.has_worker_ended()) {
        return Connect::WORKER_ENDED;
    }
    if (events.stop_requested()) {
        return Connect::STOPPED;
    }
    return watch.connected() ? Connect::CONNECTED : Connect::TIMED_OUT;
}

InputReader::Result Delivery::feed(InputReader &input, const std::set<std::string> &channels)
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

// A stop request still lets the payload already read go in; only a dead
// worker or a second request leaves it out.
//
// The plug-in moves the whole queue into libmosquitto, which keeps every
// QoS 1 and 2 message until the broker acknowledges it: without a bound
// on those, memory would grow with the input.
bool Delivery::wait_for_room()
{
    while (!plugin.WaitForPayloadQueueDepth(QUEUE_LIMIT, 100)) {
        if (events.has_worker_ended() || events.hurry()) {
            return false;
        }
    }
    while (watch.counts().outstanding() > OUTSTANDING_LIMIT) {
        if (events.has_worker_ended() || events.hurry()) {
            return false;
        }
        events.wait_until(Clock::now() + RECHECK, [this] {
            return watch.counts().outstanding() <= OUTSTANDING_LIMIT || must_give_up();
        });
    }
    return true;
}

Delivery::Drain Delivery::drain()
{
    Drain result = wait_for_empty_queue();
    if (result == Drain::DONE) {
        result = wait_for_two_polls();
    }
    if (result == Drain::DONE) {
        result = wait_for_acknowledgements();
    }
    if (result == Drain::DONE) {
        result = wait_for_idle_pass();
    }
    return result;
}

bool Delivery::must_give_up() const
{
    return events.has_worker_ended() || events.hurry();
}

Delivery::Drain Delivery::wait_for_empty_queue()
{
    std::size_t depth = plugin.GetPayloadQueueDepth();
    auto stall_deadline = Clock::now() + STALL_LIMIT;
    while (!plugin.WaitForPayloadQueueDepth(0, RECHECK_MS)) {
        if (must_give_up()) {
            return Drain::INTERRUPTED;
        }
        std::size_t now = plugin.GetPayloadQueueDepth();
        if (now < depth) {
            depth = now;
            stall_deadline = Clock::now() + STALL_LIMIT;
        } else if (Clock::now() >= stall_deadline) {
            return Drain::STALLED;
        }
    }
    return Drain::DONE;
}

// The pass that took the last payloads publishes them and writes them out
// before it looks at the queue again; two more looks mean that pass is over.
Delivery::Drain Delivery::wait_for_two_polls()
{
    uint64_t target = plugin.GetPayloadQueuePolls() + 2;
    auto deadline = Clock::now() + STALL_LIMIT;
    while (plugin.GetPayloadQueuePolls() < target) {
        if (must_give_up()) {
            return Drain::INTERRUPTED;
        }
        if (Clock::now() >= deadline) {
            return Drain::STALLED;
        }
        events.wait_until(Clock::now() + RECHECK, [this] { return must_give_up(); });
    }
    return Drain::DONE;
}

// libmosquitto writes queued packets only when a pass finds the socket
// writable, and such passes follow each other quickly; a pass with nothing
// to write (or a socket that stays full) waits out the 1 s select time-out.
// Only after such a pass may the stop come, or its single last write
// leaves payloads behind.
Delivery::Drain Delivery::wait_for_idle_pass()
{
    uint64_t polls = plugin.GetPayloadQueuePolls();
    auto changed_at = Clock::now();
    auto deadline = changed_at + STALL_LIMIT;
    while (Clock::now() - changed_at < IDLE_PASS) {
        if (must_give_up()) {
            return Drain::INTERRUPTED;
        }
        if (Clock::now() >= deadline) {
            return Drain::STALLED;
        }
        events.wait_until(Clock::now() + RECHECK, [this] { return must_give_up(); });
        uint64_t now = plugin.GetPayloadQueuePolls();
        if (now != polls) {
            polls = now;
            changed_at = Clock::now();
        }
    }
    return Drain::DONE;
}

// A lost connection settles its outstanding publishes as abandoned, so
// this wait also ends when the broker goes away.
Delivery::Drain Delivery::wait_for_acknowledgements()
{
    uint64_t acknowledged = watch.counts().acknowledged;
    auto stall_deadline = Clock::now() + STALL_LIMIT;
    for (;;) {
        bool settled = events.wait_until(stall_deadline, [this] {
            return watch.counts().outstanding() == 0 || must_give_up();
        });
        if (must_give_up()) {
            return Drain::INTERRUPTED;
        }
        if (settled) {
            return Drain::DONE;
        }
        uint64_t now = watch.counts().acknowledged;
        if (now == acknowledged) {
            return Drain::STALLED;
        }
        acknowledged = now;
        stall_deadline = Clock::now() + STALL_LIMIT;
    }
}
