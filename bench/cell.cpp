#include "cell.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include <broker.h>

#include "broker_log.h"
#include "brokers.h"
#include "clock.h"
#include "publisher_driver.h"
#include "counting_subscriber.h"

namespace {

// No new message and no CPU used by the publisher for this long, after the
// last hand-over, ends a cell: whatever is missing by then is lost. Well
// above the plug-in's one-second select time-out. A publisher that still
// computes is not stalled: the plug-in drains its whole queue into the
// library before it writes, which takes seconds with large payloads.
constexpr int64_t STALL_NS = 5000000000;
constexpr int64_t CELL_LIMIT_NS = 300000000000;
constexpr int POLL_MS = 20;

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
    if (!stats.latencies_ns.empty()) {
        result.latency_max_ms =
            static_cast<double>(*std::max_element(stats.latencies_ns.begin(), stats.latencies_ns.end())) / 1e6;
    }
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
            if (subscriber.Unique() == 0) {
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
void await_delivery(PublisherDriver &publisher, const CountingSubscriber &subscriber,
    BrokerStall &stall, uint64_t expected, std::string &error)
{
    const int64_t start = bench_now_ns();
    int64_t sent_at = 0;
    int64_t busy_at = 0;
    long cpu_ticks = -1;
    for (;;) {
        publisher.Poll(POLL_MS);
        int64_t now = bench_now_ns();
        if (subscriber.Unique() >= expected) {
            return;
        }
        if (!publisher.Failure().empty()) {
            error = publisher.Failure();
            return;
        }
        if (publisher.Sent() && sent_at == 0) {
            sent_at = now;
        }
        long ticks = publisher.CpuTicks();
        if (stall.hold(now, subscriber) || ticks != cpu_ticks) {
            cpu_ticks = ticks;
            busy_at = now;
        }
        int64_t progress = std::max({sent_at, busy_at, subscriber.LastArrivalNs()});
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
        result.reconnects += history.Reconnects();
        result.drops += history.drops;
    }
}

std::unique_ptr<PublisherDriver> make_driver(const BenchContext &context, const PublisherArgs &args)
{
    switch (args.cell.kind) {
    case PublisherKind::PUB_CLI:
        return make_pub_cli_driver(args);
    case PublisherKind::SINK_RUN:
        return make_sink_run_driver(args);
    case PublisherKind::PLUGIN:
    case PublisherKind::RAW:
        break;
    }
    return make_child_role_driver(context.program, args);
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

    CountingSubscriber subscriber(endpoint.subscriber_port, id, setup.qos, setup.channels,
        setup.payloads, setup.size);
    if (!subscriber.Start(result.error)) {
        return result;
    }
    std::unique_ptr<PublisherDriver> publisher = make_driver(context, args);
    BrokerStall stall(*endpoint.broker, setup.stall_seconds);
    if (publisher->Start(result.error)) {
        await_delivery(*publisher, subscriber, stall, result.expected, result.error);
    }
    take_connections(result, *endpoint.broker, args);
    PublisherCost cost;
    std::string finish_error;
    if (!publisher->Finish(cost, finish_error) && result.error.empty()) {
        result.error = finish_error;
    }
    take_cost(result, cost);
    DeliveryStats stats = subscriber.Finish();
    take_delivery(result, stats, publisher->FirstHandOverNs());
    return result;
}
