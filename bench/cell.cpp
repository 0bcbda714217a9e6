/*
 * One cell of the table: a fresh subscriber, one publisher, N payloads,
 * and what came out at the other end.
 */
#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>
#include <vector>

#include <mosquitto.h>

#include <broker.h>
#include <child_process.h>
#include <fault_proxy.h>
#include <posix_io.h>
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
constexpr auto EXIT_LIMIT = std::chrono::seconds(30);

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
        latencies_ns.reserve(seen.size());
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
    /* Stops the network thread and puts what was counted into `result`. */
    void finish(CellResult &result, int64_t first_hand_over)
    {
        stop();
        result.received = received();
        result.duplicates = duplicates;
        result.corrupt = corrupt;
        if (result.received > 0 && first_hand_over > 0) {
            result.seconds = static_cast<double>(last_arrival_ns() - first_hand_over) / 1e9;
            result.first_delay = static_cast<double>(first_ns - first_hand_over) / 1e9;
            result.flow_seconds = static_cast<double>(last_arrival_ns() - first_ns) / 1e9;
        }
        result.latency_p50_ms = percentile_ms(0.50);
        result.latency_p99_ms = percentile_ms(0.99);
        result.latency_max_ms = percentile_ms(1.0);
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
            ++corrupt;
            return;
        }
        uint8_t &mark = seen[static_cast<uint64_t>(channel) * payloads + header.seq];
        if (mark != 0) {
            ++duplicates;
            return;
        }
        mark = 1;
        if (received() == 0) {
            first_ns = arrival;
        }
        latencies_ns.push_back(arrival - header.stamp_ns);
        unique.store(received() + 1, std::memory_order_relaxed);
        last_arrival.store(arrival, std::memory_order_relaxed);
    }

    double percentile_ms(double fraction)
    {
        if (latencies_ns.empty()) {
            return 0;
        }
        const double last = static_cast<double>(latencies_ns.size() - 1);
        auto rank = static_cast<std::size_t>(fraction * last);
        std::nth_element(latencies_ns.begin(),
            latencies_ns.begin() + static_cast<std::ptrdiff_t>(rank), latencies_ns.end());
        return static_cast<double>(latencies_ns[rank]) / 1e6;
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
    PayloadCodec checker;
    std::vector<std::string> channel_names;
    // Written by the network thread only; read by the caller after finish.
    std::vector<uint8_t> seen;
    /* The same (channel, sequence) again: allowed at QoS 1 only. */
    uint64_t duplicates = 0;
    /* Wrong size, broken header or filler, unknown topic or sequence. */
    uint64_t corrupt = 0;
    int64_t first_ns = 0;
    /* Arrival minus hand-over, per unique message, in arrival order. */
    std::vector<int64_t> latencies_ns;
    std::atomic<uint64_t> unique{0};
    std::atomic<int64_t> last_arrival{0};
};

// The runner's configuration: the plug-in's topic template, as the
// plug-in role has it.
std::string write_runner_config(const PublisherArgs &args)
{
    std::string path = args.workdir + "/" + args.id + "-sink-run.json";
    std::ofstream config(path);
    config << "{\"host\": \"127.0.0.1\", \"port\": " << args.port << ", \"topic\": \""
           << cell_topic_prefix(args.id) << "/${channel}\", \"message_qos\": " << args.cell.qos
           << ", \"protocol_version\": \"" << (args.cell.mqtt5 ? "5" : "3.1.1") << "\"";
    if (args.cell.spool) {
        config << ", \"spool_dir\": \"" << args.spool_dir() << "\"";
    }
    config << "}\n";
    return path;
}

// The parent's side of a cell's publisher: start it, hear when it handed
// its first and last payload over, and collect what it cost once it has
// ended, from its processes' own resource usage. A child role (the
// plug-in, the raw publisher) is the benchmark program again and tells how
// it is doing on its standard output. The line-fed publishers,
// mosquitto_pub -l (one process per channel: it publishes to one topic)
// and tavrix-sink-run (one process for every channel), read the cell's
// payloads on their standard input, fed by a thread of ours each; feeding
// them is the host's work and is not counted.
class PublisherRun
{
public:
    PublisherRun(const BenchContext &context, const PublisherArgs &args_) : args(args_)
    {
        if (args.cell.kind == PublisherKind::PUB_CLI) {
            fed_name = "mosquitto_pub";
            for (int channel = 0; channel < args.cell.channels; ++channel) {
                command_lines.push_back({TAVRIX_MOSQUITTO_PUB, "-h", "127.0.0.1", "-p",
                    std::to_string(args.port), "-q", std::to_string(args.cell.qos), "-t",
                    cell_topic_prefix(args.id) + "/" + channel_name(channel), "-l", "-i",
                    client_id_of(PublisherKind::PUB_CLI, args.id, channel)});
            }
        } else if (args.cell.kind == PublisherKind::SINK_RUN) {
            fed_name = "tavrix-sink-run";
            command_lines.push_back({TAVRIX_SINK_RUN, "--config", write_runner_config(args),
                "--plugin", TAVRIX_PLUGIN_PATH, "--uuid-agent",
                client_id_of(PublisherKind::SINK_RUN, args.id)});
            for (int channel = 0; channel < args.cell.channels; ++channel) {
                command_lines.back().insert(command_lines.back().end(),
                    {"--channel", channel_name(channel)});
            }
        } else {
            command_lines.push_back(args.to_argv(context.program));
        }
        peaks_kb.resize(command_lines.size(), 0);
    }
    ~PublisherRun() { join_feeders(); }

    bool start(std::string &error)
    {
        const bool fed = !fed_name.empty();
        try {
            // Only what started: a failed start still reaches finish.
            for (std::size_t i = 0; i < command_lines.size(); ++i) {
                std::string log = args.workdir + "/" + args.id +
                    (fed ? "-" + std::to_string(i) : std::string()) + ".log";
                processes.push_back(std::make_unique<ChildProcess>(command_lines[i],
                    ChildOptions{log, true, !fed}));
            }
        } catch (const std::exception &e) {
            error = e.what();
            return false;
        }
        for (std::size_t i = 0; fed && i < processes.size(); ++i) {
            feeders.emplace_back([this, i] { feed(*processes[i]); });
        }
        return true;
    }

    /* Takes in what the publisher reports, waiting up to `timeout_ms`. */
    void poll(int timeout_ms)
    {
        sample_peaks();
        ChildProcess &child = *processes.front();
        std::string line;
        if (!fed_name.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        } else if (child.read_line(line, timeout_ms)) {
            take(line);
        } else if (child.output_ended() && reported_failure.empty() && !stopping) {
            reported_failure = "exited early: " + log_tail(child.log_path());
        }
    }

    /* Every payload handed over. */
    bool sent() const { return sent_by.load() == processes.size(); }
    /* The hand-over of the first payload; 0 before it is known. */
    int64_t first_hand_over_ns() const { return first_ns.load(); }

    /* CPU time of the publishing processes so far, in clock ticks. */
    long cpu_ticks() const
    {
        long ticks = 0;
        for (const auto &process : processes) {
            ticks += cpu_ticks_of(process->pid());
        }
        return ticks;
    }

    /* Non-empty once the publisher has failed. */
    std::string failure() const
    {
        return feed_failed.load() ? fed_name + " stopped reading its input" : reported_failure;
    }

    /* Lets the publisher end and takes its cost into `result`; returns
     * what went wrong as it ended, empty when nothing did. */
    std::string finish(CellResult &result)
    {
        stopping = true;
        // A child role waits for us with everything it used still counted;
        // the line-fed ones may have exited already.
        sample_peaks();
        if (!feeders.empty() && !sent()) {
            // Given up on: a feeder blocked on a full pipe gets its error
            // only once the reader is gone.
            for (auto &process : processes) {
                process->kill(SIGKILL);
            }
        }
        join_feeders();
        const std::string who = fed_name.empty() ? "" : fed_name + ": ";
        std::string error;
        for (auto &process : processes) {
            process->close_input();
            if (!process->wait(EXIT_LIMIT)) {
                process->kill(SIGKILL);
                process->wait(EXIT_LIMIT);
                error = who + "did not stop";
                continue;
            }
            std::string line;
            while (fed_name.empty() && process->read_line(line, 0)) {
                take(line);
            }
            result.cpu_seconds += cpu_seconds_of(process->usage());
            if (process->exit_status() != 0) {
                error = who + "exit status " + std::to_string(process->exit_status()) + ": " +
                    log_tail(process->log_path());
            }
        }
        result.host_cpu_seconds = host_cpu_seconds;
        result.dropped = dropped;
        for (long peak : peaks_kb) {
            result.peak_rss_kb += peak;
        }
        return failure().empty() ? error : failure();
    }

private:
    // Sampled while the processes live: a line-fed one exits on its own
    // once its input has ended and its messages are out.
    void sample_peaks()
    {
        for (std::size_t i = 0; i < processes.size(); ++i) {
            peaks_kb[i] = std::max(peaks_kb[i], peak_rss_kb_of(processes[i]->pid()));
        }
    }

    void take(const std::string &line)
    {
        std::size_t space = line.find(' ');
        std::string word = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (word == "t0") {
            first_ns.store(std::strtoll(rest.c_str(), nullptr, 10));
        } else if (word == "sent") {
            sent_by.store(processes.size());
        } else if (word == "host_cpu") {
            host_cpu_seconds = std::strtod(rest.c_str(), nullptr);
        } else if (word == "dropped") {
            dropped = std::strtoull(rest.c_str(), nullptr, 10);
        } else if (word == "error") {
            reported_failure = rest;
        }
    }

    void feed(ChildProcess &process)
    {
        // The stamper's buffer ends in a newline: one write per line.
        int64_t stamp = hand_over_payloads(
            args.cell, [](int64_t) { return true; },
            [this, &process](const char *data, std::size_t size) {
                if (!write_all(process.input_fd(), data, size + 1)) {
                    feed_failed.store(true);
                    return false;
                }
                return true;
            });
        process.close_input();
        // The earliest of the feeders' first hand-overs.
        int64_t known = first_ns.load();
        while (stamp != 0 && (known == 0 || stamp < known) &&
            !first_ns.compare_exchange_weak(known, stamp)) {
        }
        ++sent_by;
    }

    void join_feeders()
    {
        for (std::thread &feeder : feeders) {
            feeder.join();
        }
        feeders.clear();
    }

    PublisherArgs args;
    /* Empty for a child role, which reports on its standard output. */
    std::string fed_name;
    std::vector<std::vector<std::string>> command_lines;
    std::vector<std::unique_ptr<ChildProcess>> processes;
    std::vector<long> peaks_kb;
    std::vector<std::thread> feeders;
    std::atomic<std::size_t> sent_by{0};
    std::atomic<int64_t> first_ns{0};
    std::atomic<bool> feed_failed{false};
    bool stopping = false;
    std::string reported_failure;
    double host_cpu_seconds = 0;
    uint64_t dropped = 0;
};

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
        if (stopped_at > 0) {
            broker.resume();
        }
    }
    BrokerStall(const BrokerStall &) = delete;
    BrokerStall &operator=(const BrokerStall &) = delete;

    /* True while the broker is stopped. */
    bool hold(int64_t now, const CountingSubscriber &subscriber)
    {
        if (length_ns != 0 && stopped_at == 0 && subscriber.received() > 0) {
            broker.pause();
            stopped_at = now;
        }
        if (stopped_at > 0 && now - stopped_at >= length_ns) {
            broker.resume();
            stopped_at = -1;
        }
        return stopped_at > 0;
    }

private:
    Broker &broker;
    int64_t length_ns;
    /* When the broker was stopped; -1 once it went on again. */
    int64_t stopped_at = 0;
};

// Steps the STEP link's round trip up a while after the first message
// has arrived, and counts what arrives before, over the window after, and
// from then on.
class PathStep
{
public:
    explicit PathStep(FaultProxy *proxy_) : proxy(proxy_) {}

    void watch(int64_t now, const CountingSubscriber &subscriber)
    {
        if (proxy == nullptr || subscriber.received() == 0) {
            return;
        }
        if (first == 0) {
            first = now;
        }
        if (stepped == 0 && now - first >= seconds_ns(STEP_AFTER_FIRST_S)) {
            const std::chrono::milliseconds after(STEP_ONE_WAY_AFTER_MS);
            proxy->set_delay(after, after);
            stepped = now;
            at_step = subscriber.received();
        }
        if (stepped != 0 && windowed == 0 && now - stepped >= seconds_ns(STEP_WINDOW_S)) {
            windowed = now;
            at_window = subscriber.received();
        }
    }

    void finish(CellResult &result, const CountingSubscriber &subscriber) const
    {
        if (stepped == 0) {
            return;
        }
        result.before_step_rate = rate(at_step - 1, stepped - first);
        if (windowed != 0) {
            result.after_step_rate = rate(at_window - at_step, windowed - stepped);
            result.later_rate =
                rate(subscriber.received() - at_window, subscriber.last_arrival_ns() - windowed);
        }
    }

private:
    static int64_t seconds_ns(double seconds) { return static_cast<int64_t>(seconds * 1e9); }
    static double rate(uint64_t messages, int64_t ns)
    {
        return ns > 0 ? static_cast<double>(messages) * 1e9 / static_cast<double>(ns) : 0;
    }

    FaultProxy *proxy;
    int64_t first = 0;
    int64_t stepped = 0;
    int64_t windowed = 0;
    uint64_t at_step = 0;
    uint64_t at_window = 0;
};

// Until everything has arrived, the publisher fails, or delivery stalls.
void await_delivery(PublisherRun &publisher, const CountingSubscriber &subscriber,
    BrokerStall &stall, PathStep &step, uint64_t expected, std::string &error)
{
    const int64_t start = bench_now_ns();
    int64_t sent_at = 0;
    int64_t busy_at = 0;
    long cpu_ticks = -1;
    for (;;) {
        publisher.poll(POLL_MS);
        int64_t now = bench_now_ns();
        step.watch(now, subscriber);
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
    PathStep step(endpoint.step_proxy);
    if (publisher.start(result.error)) {
        await_delivery(publisher, subscriber, stall, step, result.expected, result.error);
    }
    take_connections(result, *endpoint.broker, args);
    const std::string finish_error = publisher.finish(result);
    if (result.error.empty()) {
        result.error = finish_error;
    }
    subscriber.finish(result, publisher.first_hand_over_ns());
    step.finish(result, subscriber);
    return result;
}
