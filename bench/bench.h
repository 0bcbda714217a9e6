/*
 * tavrix-bench: throughput and latency of the plug-in against a raw
 * libmosquitto publisher, mosquitto_pub and tavrix-sink-run, through
 * private brokers. One program runs the brokers, the subscriber and every
 * publisher (itself again, with --role, for the in-process publishers).
 */
#ifndef TAVRIX_BENCH_BENCH_H
#define TAVRIX_BENCH_BENCH_H

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

class Broker;
class FaultProxy;

/* One clock for every process of the benchmark: CLOCK_MONOTONIC is the
 * same across processes on one machine, so a timestamp taken by a
 * publisher can be compared with the subscriber's receive time. */
inline int64_t bench_now_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

/* ---- What one run measures: the cells of the table, in the order they
 * run (plan.cpp). */

enum class PublisherKind { PLUGIN, RAW, PUB_CLI, SINK_RUN };

const char *publisher_name(PublisherKind kind);

/* How a publisher reaches the broker: directly on loopback, through the
 * fault proxy's delay (to a broker of mosquitto's default in-flight
 * limit), through a TLS listener on loopback, or through a proxy whose
 * delay steps up mid-stream (to the same broker as the delay's). */
enum class Link { LOOPBACK, WAN, TLS, STEP };

const char *link_name(Link link);

/* The delay the WAN link adds in each direction. */
constexpr unsigned WAN_ONE_WAY_MS = 25;
/* The STEP link: a round trip of 5 ms (2 ms up, 3 ms down) until a
 * while after the first message arrived, then of 100 ms; the rate is
 * measured over the seconds right after the step and over the rest. */
constexpr unsigned STEP_UP_BEFORE_MS = 2;
constexpr unsigned STEP_DOWN_BEFORE_MS = 3;
constexpr unsigned STEP_ONE_WAY_AFTER_MS = 50;
constexpr double STEP_AFTER_FIRST_S = 1.5;
constexpr double STEP_WINDOW_S = 3.0;

/* QoS 1 and 2 publishes in flight at once: libmosquitto's own default
 * (mosquitto_pub's too), and what the plug-in uses unless configured. */
constexpr int LIBRARY_WINDOW = 20;
constexpr int PLUGIN_QOS1_WINDOW = 4096;
constexpr int PLUGIN_QOS2_WINDOW = 20;

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
    Link link = Link::LOOPBACK;
    /* The raw publisher's window; 0 leaves libmosquitto's own. */
    int raw_window = 0;
    /* The plug-in's hosts speak MQTT 5 (protocol_version "5"). */
    bool mqtt5 = false;
    /* The plug-in's hosts keep a disk spool (spool_dir). */
    bool spool = false;

    uint64_t messages() const { return payloads * static_cast<uint64_t>(channels); }
    bool paced() const { return rate != 0; }
    bool stalled() const { return stall_seconds != 0; }
    /* The window the publisher runs with; 0 at QoS 0, where none applies. */
    int window() const;
    /* Publisher, link, version, spool, window, QoS, size and channels:
     * unique in a plan. */
    std::string label() const;
};

/* The cells of a full run, or of a tiny one that only proves the
 * benchmark still works. `only` keeps the cells whose label contains it,
 * or one of its texts between "|"; tavrix-sink-run's cells need
 * `with_runner`. */
std::vector<CellSpec> make_plan(bool tiny, const std::string &only, bool with_runner);

/* ---- The payloads (payload.cpp): newline-free text, so that
 * mosquitto_pub -l can carry them as lines. A fixed header holds the
 * sequence number and the time the payload was handed over; a
 * position-dependent filler pads it to its size, so that a truncated or
 * spliced message is caught.
 *
 *   S<seq, 10 digits>T<timestamp ns, 19 digits>:<filler...>
 */

constexpr std::size_t PAYLOAD_HEADER_SIZE = 32;

struct PayloadHeader {
    uint64_t seq;
    int64_t stamp_ns;
};

/* Payloads of one size: rendered into one reusable buffer, and received
 * ones checked against it (exact size, well-formed header, intact
 * filler). */
class PayloadCodec
{
public:
    explicit PayloadCodec(std::size_t size);

    /* Writes the header for `seq` and `stamp_ns`; returns the payload's
     * first byte (size() bytes follow, then a newline). */
    const char *stamp(uint64_t seq, int64_t stamp_ns);
    std::size_t size() const { return buffer.size() - 1; }
    bool check(const void *data, std::size_t length, PayloadHeader &header) const;

private:
    std::string buffer;
};

/* Every publisher's loop: the cell's payloads in turn, each stamped as it
 * is handed over. `wait(due_ns)` comes first for each: due_ns is the
 * payload's instant in a paced cell, 0 in one as fast as possible.
 * `hand(data, size)` hands it over. The first false from either ends the
 * loop. Returns the first payload's stamp, 0 when none was handed over. */
template <typename Wait, typename Hand>
int64_t hand_over_payloads(const CellSpec &cell, Wait wait, Hand hand)
{
    PayloadCodec stamper(cell.size);
    const int64_t start = bench_now_ns();
    const int64_t period = cell.paced() ? 1000000000 / static_cast<int64_t>(cell.rate) : 0;
    int64_t first = 0;
    for (uint64_t seq = 0; seq < cell.payloads; ++seq) {
        if (!wait(period == 0 ? 0 : start + period * static_cast<int64_t>(seq))) {
            break;
        }
        int64_t stamp = bench_now_ns();
        first = seq == 0 ? stamp : first;
        if (!hand(stamper.stamp(seq, stamp), stamper.size())) {
            break;
        }
    }
    return first;
}

/* ---- The publisher roles (publisher_args.cpp). The in-process
 * publishers run in a child process of the benchmark (the benchmark
 * program again, with --role), so that the CPU time and the peak memory
 * the parent reads for them are theirs alone. This is what crosses the
 * command line, and the topics both sides derive from it.
 *
 * The child reports on its standard output, one line each:
 *   "t0 <ns>"       when the first payload was handed over,
 *   "sent <n>"      once all n payloads are handed over,
 *   "dropped <n>"   payloads the host queue refused (the plug-in only),
 *   "host_cpu <s>"  what the host's thread spent (the plug-in only),
 *   "error <text>"  and exit status 1 when it cannot go on,
 * and then waits for the end of its standard input before it tears down.
 */

struct PublisherArgs {
    CellSpec cell;
    int port;
    /* Names the cell in client ids and topics. */
    std::string id;
    /* Where the child may write files (the plug-in's configuration). */
    std::string workdir;
    /* The CA to trust on a TLS link; empty: no TLS. */
    std::string ca_file;

    /* The plug-in's spool directory, in `workdir`, when the cell has one. */
    std::string spool_dir() const { return workdir + "/" + id + "-spool"; }
    std::vector<std::string> to_argv(const std::string &program) const;
    /* Parses what follows "--role"; false on anything unexpected. */
    static bool parse(int argc, char **argv, PublisherArgs &args);
};

/* The MQTT client id of a cell's publisher (`process`: which of
 * mosquitto_pub's processes), by which the broker's log names it. */
std::string client_id_of(PublisherKind kind, const std::string &id, int process = 0);

/* Topic prefix of a cell; channel k publishes to "<prefix>/ch<k>". */
std::string cell_topic_prefix(const std::string &id);
std::string channel_name(int channel);

/* Child side: one report line, written at once. */
void report_line(const std::string &line);
/* Child side: reports "error <text>"; returns the exit status. */
int role_failed(const std::string &text);
/* Child side: blocks until the parent closes our standard input. */
void wait_for_stop();

/* The child roles; they return the process's exit status. */
int run_plugin_publisher(const PublisherArgs &args);
int run_raw_publisher(const PublisherArgs &args);

/* ---- What Linux tells of the machine and of our children (machine.cpp). */

/* Date, cores, CPU model and memory, as one Markdown line: figures mean
 * little without it, especially on a machine that others share. */
std::string describe_machine();
/* The 1, 5 and 15 minute load averages. */
std::string load_average();

/* CPU time a running child used so far, in clock ticks; what tells a busy
 * child from a stuck one. 0 when the process is gone. */
long cpu_ticks_of(pid_t pid);
/* Peak resident set so far, in KiB (VmHWM); 0 when the process is gone.
 * The rusage figure cannot stand in for it: for a child that the
 * toolkit's spawner started it also counts the peak of our own address
 * space. */
long peak_rss_kb_of(pid_t pid);
double cpu_seconds_of(const struct rusage &usage);
/* The last lines of a log file, for error reports. */
std::string log_tail(const std::string &path);

/* ---- The brokers (brokers.cpp) and what their logs tell (broker_log.cpp). */

/* One client's connections so far: how often it connected, and how many
 * of its connections ended other than by its own DISCONNECT (the broker
 * dropped it, the link broke, it went away without a word). The log is
 * mosquitto's, with connection messages on. */
struct ConnectionHistory {
    uint64_t connections = 0;
    uint64_t drops = 0;

    uint64_t reconnects() const { return connections > 1 ? connections - 1 : 0; }
};

ConnectionHistory connection_history(const std::string &log, const std::string &client_id);

/* Where a cell's publisher and its subscriber connect. */
struct Endpoint {
    Broker *broker = nullptr;
    /* The publisher's port: the broker's, the proxy's, or the TLS listener. */
    int port = 0;
    /* A plain listener of the same broker, on loopback. */
    int subscriber_port = 0;
    /* The CA the publisher trusts; empty without TLS. */
    std::string ca_file;
    /* The STEP link's proxy, its delay the one before the step. */
    FaultProxy *step_proxy = nullptr;
};

/* The brokers of a run, one per link, each started when its first cell
 * needs it and kept to the end: the plain loopback broker, a broker of
 * mosquitto's default in-flight limit behind the fault proxy's delay (and
 * behind a second proxy, for the STEP link), and one with a TLS
 * listener. */
class BenchBrokers
{
public:
    explicit BenchBrokers(std::string workdir);
    ~BenchBrokers();

    /* Throws std::runtime_error when the broker (or the proxy) does not
     * come up. */
    Endpoint endpoint(Link link);

private:
    std::string workdir;
    std::unique_ptr<Broker> loopback;
    std::unique_ptr<Broker> wan;
    std::unique_ptr<FaultProxy> proxy;
    std::unique_ptr<FaultProxy> step_proxy;
    std::unique_ptr<Broker> tls;
};

/* ---- One cell of the table (cell.cpp). */

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
    /* Payloads the host's queue refused. */
    uint64_t dropped = 0;
    /* First payload handed over to last message received. */
    double seconds = 0;
    /* First payload handed over to first message received. */
    double first_delay = 0;
    /* First message received to last. */
    double flow_seconds = 0;
    /* User plus system time of the publishing processes; of it, what the
     * host's thread spent making and queueing payloads (the plug-in only). */
    double cpu_seconds = 0;
    double host_cpu_seconds = 0;
    /* The publishing processes' peak resident set, summed. */
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
    /* STEP link: the rate before the step, over STEP_WINDOW_S right after
     * it, and from then to the last message (0: the cell ended sooner). */
    double before_step_rate = 0;
    double after_step_rate = 0;
    double later_rate = 0;

    uint64_t lost() const { return expected > received ? expected - received : 0; }
    /* Failed, or lost, damaged or dropped anything. */
    bool troubled() const
    {
        return !error.empty() || corrupt > 0 || lost() > 0 || dropped > 0 || drops > 0;
    }
    double messages_per_second() const
    {
        return seconds > 0 ? static_cast<double>(received) / seconds : 0;
    }
    double megabytes_per_second() const
    {
        return messages_per_second() * static_cast<double>(setup.size) / 1e6;
    }
    /* The rate once messages flow: the start delay left out. */
    double flow_messages_per_second() const
    {
        return flow_seconds > 0 && received > 1 ? static_cast<double>(received - 1) / flow_seconds
                                                : 0;
    }
    double cpu_per_100k() const { return per_100k_payloads(cpu_seconds); }
    double host_cpu_per_100k() const { return per_100k_payloads(host_cpu_seconds); }
    double per_100k_payloads(double value) const
    {
        return setup.payloads > 0 ? value * 100000.0 / static_cast<double>(setup.payloads) : 0;
    }
};

CellResult run_cell(const CellSpec &setup, const BenchContext &context, int index);

/* ---- The tables a run prints (report.cpp), as Markdown so that they can
 * go into the README as they are. */

void print_table(std::ostream &out, const std::vector<CellResult> &results);
/* Attempts that failed, lost messages or received corrupt ones, one line
 * each. */
void print_troubles(std::ostream &out, const std::vector<CellResult> &attempts);

#endif
