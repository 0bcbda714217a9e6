#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

#include <mosquitto.h>

#include <broker.h>
#include <subscriber.h>

#include "bench.h"

namespace {

// No new message and no CPU used by the publisher for this long, after the
// last hand-over, ends a cell: whatever is missing by then is lost. Well
// above the plug-in's one-second select time-out. A publisher that still
// uses CPU is not stalled while it works through a backlog: the plug-in
// holds every payload in the host's queue until its CONNACK, and then
// takes them no faster than its in-flight target and its bound on
// unconfirmed bytes let it.
constexpr int64_t STALL_NS = 5000000000;
constexpr int64_t CELL_LIMIT_NS = 300000000000;
constexpr int POLL_MS = 20;

/* What the counting subscriber saw. */
struct DeliveryStats {
    uint64_t unique = 0;
    /* The same (channel, sequence) again: allowed at QoS 1 only. */
    uint64_t duplicates = 0;
    /* Wrong size, broken header or filler, unknown topic or sequence. */
    uint64_t corrupt = 0;
    int64_t first_ns = 0;
    int64_t last_ns = 0;
    /* Arrival minus hand-over, per unique message, in arrival order. */
    std::vector<int64_t> latencies_ns;
};

// The toolkit's subscriber (one libmosquitto client on its own network
// thread), subscribed to a cell's topics at the cell's QoS. It checks
// every message (topic, size, header, filler), counts each (channel,
// sequence) pair once, and notes duplicates, what it cannot place, and the
// delay from the payload's hand-over stamp to its arrival.
class CountingSubscriber : public MqttSubscriber
{
public:
    CountingSubscriber(const std::string &id, const CellSpec &cell)
        : client_id("sub-" + id), prefix(cell_topic_prefix(id) + "/"), qos(cell.qos),
          payloads(cell.payloads), checker(cell.size), seen(cell.messages(), 0)
    {
        for (int channel = 0; channel < cell.channels; ++channel) {
            channel_names.push_back(channel_name(channel));
        }
        stats.latencies_ns.reserve(seen.size());
    }
    ~CountingSubscriber() override { stop(); }

    /* Connects and subscribes; true once the broker has acknowledged the
     * subscription. */
    bool subscribe(int port, std::string &error)
    {
        try {
            start(static_cast<uint16_t>(port), prefix + "#", qos, client_id);
        } catch (const std::exception &e) {
            error = std::string("subscriber: ") + e.what();
            return false;
        }
        return true;
    }
    uint64_t received() const { return unique.load(std::memory_order_relaxed); }
    int64_t last_arrival_ns() const { return last_arrival.load(std::memory_order_relaxed); }
    /* Stops the network thread and hands over what was counted. */
    DeliveryStats finish()
    {
        stop();
        return stats;
    }

private:
    void on_message(const struct mosquitto_message &message) override
    {
        int64_t arrival = bench_now_ns();
        PayloadHeader header;
        int channel = channel_of(message.topic);
        if (channel < 0 || message.payloadlen < 0 ||
            !checker.check(message.payload, static_cast<std::size_t>(message.payloadlen), header) ||
            header.seq >= payloads) {
            ++stats.corrupt;
            return;
        }
        uint8_t &mark = seen[static_cast<uint64_t>(channel) * payloads + header.seq];
        if (mark != 0) {
            ++stats.duplicates;
            return;
        }
        mark = 1;
        if (stats.unique == 0) {
            stats.first_ns = arrival;
        }
        ++stats.unique;
        stats.last_ns = arrival;
        stats.latencies_ns.push_back(arrival - header.stamp_ns);
        unique.store(stats.unique, std::memory_order_relaxed);
        last_arrival.store(arrival, std::memory_order_relaxed);
    }

    int channel_of(const char *topic) const
    {
        if (std::strncmp(topic, prefix.data(), prefix.size()) != 0) {
            return -1;
        }
        for (std::size_t channel = 0; channel < channel_names.size(); ++channel) {
            if (channel_names[channel] == topic + prefix.size()) {
                return static_cast<int>(channel);
            }
        }
        return -1;
    }

    std::string client_id;
    std::string prefix;
    int qos;
    uint64_t payloads;
    PayloadChecker checker;
    std::vector<std::string> channel_names;
    // Written by the network thread only; read by the caller after finish.
    std::vector<uint8_t> seen;
    DeliveryStats stats;
    std::atomic<uint64_t> unique{0};
    std::atomic<int64_t> last_arrival{0};
};

double percentile_ms(std::vector<int64_t> &values, double fraction)
{
    if (values.empty()) {
        return 0;
    }
    auto rank = static_cast<std::size_t>(fraction * static_cast<double>(values.size() - 1));
    std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(rank), values.end());
    return static_cast<double>(values[rank]) / 1e6;
}

void take_delivery(CellResult &result, DeliveryStats &stats, int64_t first_hand_over)
{
    result.received = stats.unique;
    result.duplicates = stats.duplicates;
    result.corrupt = stats.corrupt;
    if (stats.unique > 0 && first_hand_over > 0) {
        result.seconds = ns_to_seconds(stats.last_ns - first_hand_over);
        result.first_delay = ns_to_seconds(stats.first_ns - first_hand_over);
        result.flow_seconds = ns_to_seconds(stats.last_ns - stats.first_ns);
    }
    result.latency_p50_ms = percentile_ms(stats.latencies_ns, 0.50);
    result.latency_p99_ms = percentile_ms(stats.latencies_ns, 0.99);
    result.latency_max_ms = percentile_ms(stats.latencies_ns, 1.0);
}

// Stops the broker once the cell's first message has arrived and lets it
// go on after the cell's stall. Nothing can arrive meanwhile, which is not
// a stall of the publisher.
class BrokerStall
{
public:
    BrokerStall(Broker &broker_, unsigned seconds)
        : broker(broker_), length_ns(static_cast<int64_t>(seconds) * 1000000000)
    {
    }
    ~BrokerStall()
    {
        if (stopped_at != 0 && !over) {
            broker.resume();
        }
    }
    BrokerStall(const BrokerStall &) = delete;
    BrokerStall &operator=(const BrokerStall &) = delete;

    /* True while the broker is stopped. */
    bool hold(int64_t now, const CountingSubscriber &subscriber)
    {
        if (length_ns == 0 || over) {
            return false;
        }
        if (stopped_at == 0) {
            if (subscriber.received() == 0) {
                return false;
            }
            broker.pause();
            stopped_at = now;
        }
        if (now - stopped_at < length_ns) {
            return true;
        }
        broker.resume();
        over = true;
        return false;
    }

private:
    Broker &broker;
    int64_t length_ns;
    int64_t stopped_at = 0;
    bool over = false;
};

// Until everything has arrived, the publisher fails, or delivery stalls.
void await_delivery(PublisherRun &publisher, const CountingSubscriber &subscriber,
    BrokerStall &stall, uint64_t expected, std::string &error)
{
    const int64_t start = bench_now_ns();
    int64_t sent_at = 0;
    int64_t busy_at = 0;
    long cpu_ticks = -1;
    for (;;) {
        publisher.poll(POLL_MS);
        int64_t now = bench_now_ns();
        if (subscriber.received() >= expected) {
            return;
        }
        if (!publisher.failure().empty()) {
            error = publisher.failure();
            return;
        }
        if (publisher.sent() && sent_at == 0) {
            sent_at = now;
        }
        long ticks = publisher.cpu_ticks();
        if (stall.hold(now, subscriber) || ticks != cpu_ticks) {
            cpu_ticks = ticks;
            busy_at = now;
        }
        int64_t progress = std::max({sent_at, busy_at, subscriber.last_arrival_ns()});
        if (sent_at != 0 && now - progress > STALL_NS) {
            return;
        }
        if (now - start > CELL_LIMIT_NS) {
            error = "no end in sight";
            return;
        }
    }
}

// Read when the messages are in (or the cell gave up), before the
// publisher is told to end: how it ends is not a drop, whatever it says.
void take_connections(CellResult &result, const Broker &broker, const PublisherArgs &args)
{
    const int processes = args.cell.kind == PublisherKind::PUB_CLI ? args.cell.channels : 1;
    const std::string log = broker.log();
    for (int process = 0; process < processes; ++process) {
        ConnectionHistory history =
            connection_history(log, client_id_of(args.cell.kind, args.id, process));
        result.connections += history.connections;
        result.reconnects += history.reconnects();
        result.drops += history.drops;
    }
}

void take_cost(CellResult &result, const PublisherCost &cost)
{
    result.cpu_seconds = cost.cpu_seconds;
    result.host_cpu_seconds = cost.host_cpu_seconds;
    result.peak_rss_kb = cost.peak_rss_kb;
    result.dropped = cost.dropped;
}

} // namespace

CellResult run_cell(const CellSpec &setup, const BenchContext &context, int index)
{
    CellResult result;
    result.setup = setup;
    result.expected = setup.messages();
    char id[32];
    std::snprintf(id, sizeof id, "c%03d", index);
    Endpoint endpoint;
    try {
        endpoint = context.brokers->endpoint(setup.link);
    } catch (const std::exception &e) {
        result.error = std::string(link_name(setup.link)) + " broker: " + e.what();
        return result;
    }
    PublisherArgs args{setup, endpoint.port, id, context.workdir, endpoint.ca_file};

    CountingSubscriber subscriber(id, setup);
    if (!subscriber.subscribe(endpoint.subscriber_port, result.error)) {
        return result;
    }
    PublisherRun publisher(context, args);
    BrokerStall stall(*endpoint.broker, setup.stall_seconds);
    if (publisher.start(result.error)) {
        await_delivery(publisher, subscriber, stall, result.expected, result.error);
    }
    take_connections(result, *endpoint.broker, args);
    PublisherCost cost;
    std::string finish_error;
    if (!publisher.finish(cost, finish_error) && result.error.empty()) {
        result.error = finish_error;
    }
    take_cost(result, cost);
    DeliveryStats stats = subscriber.finish();
    take_delivery(result, stats, publisher.first_hand_over_ns());
    return result;
}
