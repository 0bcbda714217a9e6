#include "bench.h"

#include <cstdio>
#include <functional>
#include <string>

#include <host/tavrixd.h>

namespace {

using Results = std::vector<CellResult>;
using Figure = std::function<double(const CellResult &)>;

std::string fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

const Figure RATE = [](const CellResult &c) { return c.messages_per_second(); };
const Figure FLOW = [](const CellResult &c) { return c.flow_messages_per_second(); };
const Figure CPU = [](const CellResult &c) { return c.cpu_per_100k(); };
const Figure RSS = [](const CellResult &c) {
    return static_cast<double>(c.peak_rss_kb) / 1024.0;
};
const Figure P99 = [](const CellResult &c) { return c.latency_p99_ms; };

// The host's queue at its bound holds this many payload bytes.
double host_queue_mb(const CellResult &cell)
{
    return static_cast<double>(agPluginSink::DEFAULT_QUEUE_LIMIT) *
        static_cast<double>(cell.setup.size) / (1024.0 * 1024.0);
}

/* Which measurement of the run a figure is compared with: the same size
 * and channels, paced or not, and these. */
struct Peer {
    PublisherKind kind;
    Link link;
    int qos;
    /* -1: whatever its window. */
    int window;
    bool mqtt5 = false;
    bool spool = false;
};

bool has_shape(const CellSpec &setup, const CellSpec &shape, const Peer &peer)
{
    return setup.kind == peer.kind && setup.link == peer.link && setup.qos == peer.qos &&
        setup.mqtt5 == peer.mqtt5 && setup.spool == peer.spool &&
        (peer.window < 0 || setup.window() == peer.window) && setup.paced() == shape.paced() &&
        !setup.stalled() && setup.size == shape.size && setup.channels == shape.channels;
}

/* The peer's measurement, if it ran cleanly. */
const CellResult *peer_of(const Results &results, const CellResult &cell, const Peer &peer)
{
    for (const CellResult &other : results) {
        if (has_shape(other.setup, cell.setup, peer) && other.error.empty()) {
            return &other;
        }
    }
    return nullptr;
}

using PeerOf = std::function<Peer(const CellSpec &)>;

PeerOf any_window(PublisherKind kind)
{
    return [kind](const CellSpec &setup) { return Peer{kind, setup.link, setup.qos, -1}; };
}

// libmosquitto's window, which QoS 0 has none of.
const PeerOf DEFAULT_WINDOW_RAW = [](const CellSpec &setup) {
    return Peer{PublisherKind::RAW, setup.link, setup.qos, setup.qos == 0 ? 0 : LIBRARY_WINDOW};
};
const PeerOf SAME_WINDOW_RAW = [](const CellSpec &setup) {
    return Peer{PublisherKind::RAW, setup.link, setup.qos, setup.window()};
};
const PeerOf OWN_QOS0 = [](const CellSpec &setup) { return Peer{setup.kind, setup.link, 0, 0}; };
const PeerOf PLAIN_LOOPBACK = [](const CellSpec &setup) {
    return Peer{setup.kind, Link::LOOPBACK, setup.qos, setup.window()};
};
const PeerOf OWN_MQTT311 = [](const CellSpec &setup) {
    return Peer{setup.kind, setup.link, setup.qos, setup.window()};
};
const PeerOf OWN_UNSPOOLED = [](const CellSpec &setup) {
    return Peer{setup.kind, setup.link, setup.qos, setup.window(), setup.mqtt5};
};

// The plug-in's hosts are compared with the others, not the reverse.
bool hosted(const CellResult &cell)
{
    return cell.setup.kind == PublisherKind::PLUGIN || cell.setup.kind == PublisherKind::SINK_RUN;
}

/* One column of a table: its heading, and its text for a cell of the run. */
struct Column {
    const char *heading;
    std::function<std::string(const Results &, const CellResult &)> text;
};

Column shown(const char *heading, std::function<std::string(const CellResult &)> text)
{
    return {heading, [text](const Results &, const CellResult &cell) { return text(cell); }};
}

template <typename Count>
Column count(const char *heading, Count value)
{
    return shown(heading, [value](const CellResult &cell) { return std::to_string(value(cell)); });
}

Column number(const char *heading, Figure figure, int decimals)
{
    return shown(heading, [figure, decimals](const CellResult &cell) {
        return fixed(figure(cell), decimals);
    });
}

/* The cell's figure over its peer's: empty where the cell is its own peer
 * (or, when `hosts_only`, is none of the plug-in's hosts), "-" where the
 * peer is missing. */
Column versus(const char *heading, PeerOf peer_for, Figure figure, bool hosts_only = false)
{
    return {heading, [=](const Results &results, const CellResult &cell) -> std::string {
                const Peer peer = peer_for(cell.setup);
                if ((hosts_only && !hosted(cell)) || has_shape(cell.setup, cell.setup, peer)) {
                    return "";
                }
                const CellResult *other = peer_of(results, cell, peer);
                if (other == nullptr || figure(*other) <= 0) {
                    return "-";
                }
                return fixed(figure(cell) / figure(*other), 2);
            }};
}

Column hosts_versus(const char *heading, PublisherKind kind, Figure figure)
{
    return versus(heading, any_window(kind), std::move(figure), true);
}

// The cell's figure less its peer's, for the plug-in's hosts.
Column hosts_less(const char *heading, PublisherKind kind, Figure figure)
{
    return {heading, [=](const Results &results, const CellResult &cell) -> std::string {
                if (!hosted(cell)) {
                    return "";
                }
                const CellResult *other = peer_of(results, cell, any_window(kind)(cell.setup));
                return other == nullptr ? "-" : fixed(figure(cell) - figure(*other), 2);
            }};
}

const Column PUBLISHER = shown("publisher", [](const CellResult &c) {
    return std::string(publisher_name(c.setup.kind));
});
const Column QOS = count("QoS", [](const CellResult &c) { return c.setup.qos; });
const Column SIZE = shown("size", [](const CellResult &c) {
    const std::size_t size = c.setup.size;
    return size % 1024 == 0 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B";
});
const Column CHANNELS = count("ch", [](const CellResult &c) { return c.setup.channels; });
const Column WINDOW = shown("window", [](const CellResult &c) {
    return c.setup.window() == 0 ? "-" : std::to_string(c.setup.window());
});
const Column RATE_PER_SECOND = count("rate/s", [](const CellResult &c) { return c.setup.rate; });
const Column MESSAGES = count("messages", [](const CellResult &c) { return c.expected; });
const Column MSG_PER_SECOND = shown("msg/s", [](const CellResult &c) {
    return c.error.empty() ? fixed(c.messages_per_second(), 0) : "failed";
});
const Column MB_PER_SECOND =
    number("MB/s", [](const CellResult &c) { return c.megabytes_per_second(); }, 1);
const Column FIRST_MESSAGE =
    number("1st msg ms", [](const CellResult &c) { return c.first_delay * 1000.0; }, 0);
const Column FLOW_PER_SECOND = number("flow msg/s", FLOW, 0);
const Column LOST = count("lost", [](const CellResult &c) { return c.lost(); });
const Column LOST_OR_FAILED = shown("lost", [](const CellResult &c) {
    return c.error.empty() ? std::to_string(c.lost()) : "failed";
});
const Column DUPLICATES = count("dup", [](const CellResult &c) { return c.duplicates; });
const Column RECONNECTS = count("reconnects", [](const CellResult &c) { return c.reconnects; });
const Column DROPS = count("drops", [](const CellResult &c) { return c.drops; });
const Column CPU_PER_100K = number("CPU s/100k", CPU, 2);
const Column PEAK_RSS = number("peak RSS MB", RSS, 1);

const std::vector<Column> THROUGHPUT = {PUBLISHER, QOS, SIZE, CHANNELS, WINDOW, MESSAGES,
    MSG_PER_SECOND, MB_PER_SECOND, hosts_versus("vs raw", PublisherKind::RAW, RATE),
    hosts_versus("vs pub", PublisherKind::PUB_CLI, RATE), FIRST_MESSAGE, FLOW_PER_SECOND,
    hosts_versus("flow vs raw", PublisherKind::RAW, FLOW),
    hosts_versus("flow vs pub", PublisherKind::PUB_CLI, FLOW), LOST, DUPLICATES, CPU_PER_100K,
    hosts_versus("CPU vs raw", PublisherKind::RAW, CPU), PEAK_RSS,
    hosts_versus("RSS vs raw", PublisherKind::RAW, RSS)};

const std::vector<Column> WAN = {PUBLISHER, QOS, SIZE, CHANNELS, WINDOW, MESSAGES,
    MSG_PER_SECOND, versus("vs raw w20", DEFAULT_WINDOW_RAW, RATE),
    versus("vs raw same window", SAME_WINDOW_RAW, RATE),
    versus("vs pub", any_window(PublisherKind::PUB_CLI), RATE),
    versus("vs own QoS 0", OWN_QOS0, RATE), FIRST_MESSAGE, FLOW_PER_SECOND,
    versus("flow vs raw w20", DEFAULT_WINDOW_RAW, FLOW),
    versus("flow vs own QoS 0", OWN_QOS0, FLOW), LOST, DUPLICATES, RECONNECTS, DROPS,
    CPU_PER_100K, versus("CPU vs raw same window", SAME_WINDOW_RAW, CPU)};

const std::vector<Column> TLS = {PUBLISHER, QOS, SIZE, CHANNELS, WINDOW, MESSAGES,
    MSG_PER_SECOND, MB_PER_SECOND, versus("vs raw w20", DEFAULT_WINDOW_RAW, RATE),
    versus("vs raw same window", SAME_WINDOW_RAW, RATE),
    versus("vs plain", PLAIN_LOOPBACK, RATE), FIRST_MESSAGE, FLOW_PER_SECOND, LOST, DUPLICATES,
    RECONNECTS, DROPS, CPU_PER_100K, versus("CPU vs raw same window", SAME_WINDOW_RAW, CPU),
    versus("CPU vs plain", PLAIN_LOOPBACK, CPU), PEAK_RSS};

const std::vector<Column> MQTT5 = {PUBLISHER, QOS, SIZE, CHANNELS, WINDOW, MESSAGES,
    MSG_PER_SECOND, MB_PER_SECOND, versus("vs 3.1.1", OWN_MQTT311, RATE), FIRST_MESSAGE,
    FLOW_PER_SECOND, versus("flow vs 3.1.1", OWN_MQTT311, FLOW), LOST, DUPLICATES,
    CPU_PER_100K, versus("CPU vs 3.1.1", OWN_MQTT311, CPU), PEAK_RSS};

const std::vector<Column> SPOOL = {PUBLISHER, QOS, SIZE, CHANNELS, WINDOW, MESSAGES,
    MSG_PER_SECOND, MB_PER_SECOND, versus("vs without", OWN_UNSPOOLED, RATE), FIRST_MESSAGE,
    FLOW_PER_SECOND, versus("flow vs without", OWN_UNSPOOLED, FLOW), LOST, DUPLICATES,
    CPU_PER_100K, versus("CPU vs without", OWN_UNSPOOLED, CPU), PEAK_RSS,
    versus("RSS vs without", OWN_UNSPOOLED, RSS)};

const std::vector<Column> PACED = {PUBLISHER, QOS, SIZE, RATE_PER_SECOND, MESSAGES,
    LOST_OR_FAILED, number("p50 ms", [](const CellResult &c) { return c.latency_p50_ms; }, 2),
    number("p99 ms", P99, 2),
    number("max ms", [](const CellResult &c) { return c.latency_max_ms; }, 2),
    hosts_less("p99 vs raw ms", PublisherKind::RAW, P99), CPU_PER_100K,
    hosts_versus("CPU vs raw", PublisherKind::RAW, CPU), PEAK_RSS,
    hosts_versus("RSS vs raw", PublisherKind::RAW, RSS)};

const std::vector<Column> STALL = {PUBLISHER, QOS, SIZE, RATE_PER_SECOND,
    count("stall s", [](const CellResult &c) { return c.setup.stall_seconds; }), MESSAGES,
    LOST_OR_FAILED, count("dropped", [](const CellResult &c) { return c.dropped; }),
    number("max delay s", [](const CellResult &c) { return c.latency_max_ms / 1000.0; }, 1),
    PEAK_RSS, number("host queue MB", host_queue_mb, 1),
    number("RSS above queue MB", [](const CellResult &c) { return RSS(c) - host_queue_mb(c); },
        1)};

const Figure AFTER_STEP = [](const CellResult &c) { return c.after_step_rate; };
const Figure LATER = [](const CellResult &c) { return c.later_rate; };

const std::vector<Column> STEP = {PUBLISHER, QOS, SIZE, CHANNELS, WINDOW, MESSAGES,
    MSG_PER_SECOND,
    number("before msg/s", [](const CellResult &c) { return c.before_step_rate; }, 0),
    number("3 s after msg/s", AFTER_STEP, 0),
    versus("3 s after vs raw same window", SAME_WINDOW_RAW, AFTER_STEP),
    number("later msg/s", LATER, 0), versus("later vs raw same window", SAME_WINDOW_RAW, LATER),
    LOST, DUPLICATES, RECONNECTS, DROPS, CPU_PER_100K,
    versus("CPU vs raw same window", SAME_WINDOW_RAW, CPU)};

/* The table a cell's row goes to. */
const std::vector<Column> &table_of(const CellSpec &setup)
{
    if (setup.stalled()) {
        return STALL;
    }
    if (setup.paced()) {
        return PACED;
    }
    if (setup.spool) {
        return SPOOL;
    }
    if (setup.mqtt5) {
        return MQTT5;
    }
    if (setup.link == Link::STEP) {
        return STEP;
    }
    return setup.link == Link::WAN ? WAN : setup.link == Link::TLS ? TLS : THROUGHPUT;
}

void print_rows(std::ostream &out, const Results &results, const std::vector<Column> &table,
    const std::string &title)
{
    bool any = false;
    for (const CellResult &cell : results) {
        if (&table_of(cell.setup) != &table) {
            continue;
        }
        if (!any) {
            std::string heading = "|";
            std::string rule = "|";
            for (const Column &column : table) {
                heading += std::string(" ") + column.heading + " |";
                rule += rule.size() == 1 ? "---|" : "--:|";
            }
            out << title << heading << "\n" << rule << "\n";
            any = true;
        }
        std::string row = "|";
        for (const Column &column : table) {
            row += " " + column.text(results, cell) + " |";
        }
        out << row << "\n";
    }
}

} // namespace

void print_table(std::ostream &out, const std::vector<CellResult> &results)
{
    print_rows(out, results, THROUGHPUT, "Throughput:\n\n");
    print_rows(out, results, WAN,
        "\nOver a link with a " + std::to_string(2 * WAN_ONE_WAY_MS) +
            " ms round trip, to a broker of mosquitto's default in-flight limit:\n\n");
    print_rows(out, results, TLS, "\nTLS on loopback:\n\n");
    print_rows(out, results, STEP,
        "\nOver a link whose round trip steps from " +
            std::to_string(STEP_UP_BEFORE_MS + STEP_DOWN_BEFORE_MS) + " to " +
            std::to_string(2 * STEP_ONE_WAY_AFTER_MS) + " ms mid-stream:\n\n");
    print_rows(out, results, MQTT5,
        "\nMQTT 5 on loopback, against the same publisher's MQTT 3.1.1:\n\n");
    print_rows(out, results, SPOOL,
        "\nWith a disk spool on loopback, against the same publisher without one:\n\n");
    print_rows(out, results, PACED, "\nLatency of a paced stream:\n\n");
    print_rows(out, results, STALL, "\nA broker that stops reading:\n\n");
}

void print_troubles(std::ostream &out, const std::vector<CellResult> &attempts)
{
    if (!attempts.empty()) {
        out << "\nAttempts in trouble (the table shows a clean attempt where there was one):\n\n";
    }
    for (const CellResult &cell : attempts) {
        out << "- " << cell.setup.label() << ": ";
        if (!cell.error.empty()) {
            out << "failed: " << cell.error << "; ";
        }
        out << cell.lost() << " lost, " << cell.corrupt << " corrupt, " << cell.dropped
            << " dropped by the host queue, " << cell.drops << " connections dropped\n";
    }
}
