#include "report.h"

#include <cstdio>
#include <functional>
#include <string>

#include <host/tavrixd.h>

namespace {

const char *THROUGHPUT_HEADER =
    "| publisher | QoS | size | ch | window | messages | msg/s | MB/s | vs raw | vs pub "
    "| 1st msg ms | flow msg/s | flow vs raw | flow vs pub | lost | dup | CPU s/100k | CPU vs raw "
    "| peak RSS MB | RSS vs raw |\n"
    "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";

const char *WAN_HEADER =
    "| publisher | QoS | size | ch | window | messages | msg/s | vs raw w20 "
    "| vs raw same window | vs pub | vs own QoS 0 | 1st msg ms | flow msg/s | flow vs raw w20 "
    "| flow vs own QoS 0 | lost | dup | reconnects | drops | CPU s/100k "
    "| CPU vs raw same window |\n"
    "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";

const char *TLS_HEADER =
    "| publisher | QoS | size | ch | window | messages | msg/s | MB/s | vs raw w20 "
    "| vs raw same window | vs plain | 1st msg ms | flow msg/s | lost | dup | reconnects | drops "
    "| CPU s/100k | CPU vs raw same window | CPU vs plain | peak RSS MB |\n"
    "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";

const char *PACED_HEADER =
    "| publisher | QoS | size | rate/s | messages | lost | p50 ms | p99 ms | max ms "
    "| p99 vs raw ms | CPU s/100k | CPU vs raw | peak RSS MB | RSS vs raw |\n"
    "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";

const char *STALL_HEADER =
    "| publisher | QoS | size | rate/s | stall s | messages | lost | dropped | max delay s "
    "| peak RSS MB | host queue MB | RSS above queue MB |\n"
    "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";

std::string fixed(double value, int decimals)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string size_text(std::size_t size)
{
    return size % 1024 == 0 ? std::to_string(size / 1024) + " KiB" : std::to_string(size) + " B";
}

double rss_mb(const CellResult &cell)
{
    return static_cast<double>(cell.peak_rss_kb) / 1024.0;
}

/* Which measurement of the run a figure is compared with: the same size
 * and channels, paced or not, and these. */
struct Peer {
    PublisherKind kind;
    Link link;
    int qos;
    /* -1: whatever its window. */
    int window;
};

bool has_shape(const CellSpec &setup, const CellSpec &shape, const Peer &peer)
{
    return setup.kind == peer.kind && setup.link == peer.link && setup.qos == peer.qos &&
        (peer.window < 0 || setup.Window() == peer.window) && setup.paced() == shape.paced() &&
        !setup.stalled() && setup.size == shape.size && setup.channels == shape.channels;
}

/* The peer's measurement, if it ran cleanly. */
const CellResult *peer_of(const std::vector<CellResult> &results, const CellResult &cell,
    const Peer &peer)
{
    for (const CellResult &other : results) {
        if (has_shape(other.setup, cell.setup, peer) && other.error.empty()) {
            return &other;
        }
    }
    return nullptr;
}

Peer any_window(PublisherKind kind, const CellSpec &setup)
{
    return {kind, setup.link, setup.qos, -1};
}

// libmosquitto's window, which QoS 0 has none of.
Peer default_window_raw(const CellSpec &setup)
{
    return {PublisherKind::RAW, setup.link, setup.qos, setup.qos == 0 ? 0 : LIBRARY_WINDOW};
}

Peer same_window_raw(const CellSpec &setup)
{
    return {PublisherKind::RAW, setup.link, setup.qos, setup.Window()};
}

Peer own_qos0(const CellSpec &setup)
{
    return {setup.kind, setup.link, 0, 0};
}

Peer plain_loopback(const CellSpec &setup)
{
    return {setup.kind, Link::LOOPBACK, setup.qos, setup.Window()};
}

using Figure = std::function<double(const CellResult &)>;

// The plug-in's hosts are compared with the others, not the reverse.
bool hosted(const CellResult &cell)
{
    return cell.setup.kind == PublisherKind::PLUGIN || cell.setup.kind == PublisherKind::SINK_RUN;
}

/* Empty where the cell is its own peer, "-" where the peer is missing. */
std::string ratio(const std::vector<CellResult> &results, const CellResult &cell, const Peer &peer,
    const Figure &figure)
{
    if (has_shape(cell.setup, cell.setup, peer)) {
        return "";
    }
    const CellResult *other = peer_of(results, cell, peer);
    if (other == nullptr || figure(*other) <= 0) {
        return "-";
    }
    return fixed(figure(cell) / figure(*other), 2);
}

std::string hosted_ratio(const std::vector<CellResult> &results, const CellResult &cell,
    PublisherKind peer, const Figure &figure)
{
    return hosted(cell) ? ratio(results, cell, any_window(peer, cell.setup), figure) : "";
}

std::string difference(const std::vector<CellResult> &results, const CellResult &cell,
    PublisherKind peer, const Figure &figure)
{
    if (!hosted(cell)) {
        return "";
    }
    const CellResult *other = peer_of(results, cell, any_window(peer, cell.setup));
    return other == nullptr ? "-" : fixed(figure(cell) - figure(*other), 2);
}

std::string line_of(std::initializer_list<std::string> columns)
{
    std::string line = "|";
    for (const std::string &column : columns) {
        line += " " + column + " |";
    }
    return line + "\n";
}

const Figure RATE = [](const CellResult &c) { return c.MessagesPerSecond(); };
const Figure FLOW = [](const CellResult &c) { return c.FlowMessagesPerSecond(); };
const Figure CPU = [](const CellResult &c) { return c.CpuPer100k(); };
const Figure RSS = rss_mb;
const Figure P99 = [](const CellResult &c) { return c.latency_p99_ms; };

std::string window_text(const CellSpec &setup)
{
    return setup.Window() == 0 ? "-" : std::to_string(setup.Window());
}

std::string rate_text(const CellResult &cell)
{
    return cell.error.empty() ? fixed(cell.MessagesPerSecond(), 0) : "failed";
}

std::string throughput_row(const std::vector<CellResult> &results, const CellResult &cell)
{
    const CellSpec &setup = cell.setup;
    return line_of({
        publisher_name(setup.kind),
        std::to_string(setup.qos),
        size_text(setup.size),
        std::to_string(setup.channels),
        window_text(setup),
        std::to_string(cell.expected),
        rate_text(cell),
        fixed(cell.MegabytesPerSecond(), 1),
        hosted_ratio(results, cell, PublisherKind::RAW, RATE),
        hosted_ratio(results, cell, PublisherKind::PUB_CLI, RATE),
        fixed(cell.first_delay * 1000.0, 0),
        fixed(cell.FlowMessagesPerSecond(), 0),
        hosted_ratio(results, cell, PublisherKind::RAW, FLOW),
        hosted_ratio(results, cell, PublisherKind::PUB_CLI, FLOW),
        std::to_string(cell.Lost()),
        std::to_string(cell.duplicates),
        fixed(cell.CpuPer100k(), 2),
        hosted_ratio(results, cell, PublisherKind::RAW, CPU),
        fixed(rss_mb(cell), 1),
        hosted_ratio(results, cell, PublisherKind::RAW, RSS),
    });
}

std::string wan_row(const std::vector<CellResult> &results, const CellResult &cell)
{
    const CellSpec &setup = cell.setup;
    return line_of({
        publisher_name(setup.kind),
        std::to_string(setup.qos),
        size_text(setup.size),
        std::to_string(setup.channels),
        window_text(setup),
        std::to_string(cell.expected),
        rate_text(cell),
        ratio(results, cell, default_window_raw(setup), RATE),
        ratio(results, cell, same_window_raw(setup), RATE),
        ratio(results, cell, any_window(PublisherKind::PUB_CLI, setup), RATE),
        ratio(results, cell, own_qos0(setup), RATE),
        fixed(cell.first_delay * 1000.0, 0),
        fixed(cell.FlowMessagesPerSecond(), 0),
        ratio(results, cell, default_window_raw(setup), FLOW),
        ratio(results, cell, own_qos0(setup), FLOW),
        std::to_string(cell.Lost()),
        std::to_string(cell.duplicates),
        std::to_string(cell.reconnects),
        std::to_string(cell.drops),
        fixed(cell.CpuPer100k(), 2),
        ratio(results, cell, same_window_raw(setup), CPU),
    });
}

std::string tls_row(const std::vector<CellResult> &results, const CellResult &cell)
{
    const CellSpec &setup = cell.setup;
    return line_of({
        publisher_name(setup.kind),
        std::to_string(setup.qos),
        size_text(setup.size),
        std::to_string(setup.channels),
        window_text(setup),
        std::to_string(cell.expected),
        rate_text(cell),
        fixed(cell.MegabytesPerSecond(), 1),
        ratio(results, cell, default_window_raw(setup), RATE),
        ratio(results, cell, same_window_raw(setup), RATE),
        ratio(results, cell, plain_loopback(setup), RATE),
        fixed(cell.first_delay * 1000.0, 0),
        fixed(cell.FlowMessagesPerSecond(), 0),
        std::to_string(cell.Lost()),
        std::to_string(cell.duplicates),
        std::to_string(cell.reconnects),
        std::to_string(cell.drops),
        fixed(cell.CpuPer100k(), 2),
        ratio(results, cell, same_window_raw(setup), CPU),
        ratio(results, cell, plain_loopback(setup), CPU),
        fixed(rss_mb(cell), 1),
    });
}

std::string paced_row(const std::vector<CellResult> &results, const CellResult &cell)
{
    const CellSpec &setup = cell.setup;
    return line_of({
        publisher_name(setup.kind),
        std::to_string(setup.qos),
        size_text(setup.size),
        std::to_string(setup.rate),
        std::to_string(cell.expected),
        cell.error.empty() ? std::to_string(cell.Lost()) : "failed",
        fixed(cell.latency_p50_ms, 2),
        fixed(cell.latency_p99_ms, 2),
        fixed(cell.latency_max_ms, 2),
        difference(results, cell, PublisherKind::RAW, P99),
        fixed(cell.CpuPer100k(), 2),
        hosted_ratio(results, cell, PublisherKind::RAW, CPU),
        fixed(rss_mb(cell), 1),
        hosted_ratio(results, cell, PublisherKind::RAW, RSS),
    });
}

// The host's queue at its bound holds this many payload bytes.
double host_queue_mb(const CellSpec &setup)
{
    return static_cast<double>(agPluginSink::DEFAULT_QUEUE_LIMIT) *
        static_cast<double>(setup.size) / (1024.0 * 1024.0);
}

std::string stall_row(const CellResult &cell)
{
    const CellSpec &setup = cell.setup;
    return line_of({
        publisher_name(setup.kind),
        std::to_string(setup.qos),
        size_text(setup.size),
        std::to_string(setup.rate),
        std::to_string(setup.stall_seconds),
        std::to_string(cell.expected),
        cell.error.empty() ? std::to_string(cell.Lost()) : "failed",
        std::to_string(cell.dropped),
        fixed(cell.latency_max_ms / 1000.0, 1),
        fixed(rss_mb(cell), 1),
        fixed(host_queue_mb(setup), 1),
        fixed(rss_mb(cell) - host_queue_mb(setup), 1),
    });
}

enum class Kind { THROUGHPUT, WAN, TLS, PACED, STALL };

Kind kind_of(const CellSpec &setup)
{
    if (setup.stalled()) {
        return Kind::STALL;
    }
    if (setup.paced()) {
        return Kind::PACED;
    }
    switch (setup.link) {
    case Link::WAN:
        return Kind::WAN;
    case Link::TLS:
        return Kind::TLS;
    case Link::LOOPBACK:
        break;
    }
    return Kind::THROUGHPUT;
}

std::string row_of(const std::vector<CellResult> &results, const CellResult &cell, Kind kind)
{
    switch (kind) {
    case Kind::THROUGHPUT:
        return throughput_row(results, cell);
    case Kind::WAN:
        return wan_row(results, cell);
    case Kind::TLS:
        return tls_row(results, cell);
    case Kind::PACED:
        return paced_row(results, cell);
    case Kind::STALL:
        break;
    }
    return stall_row(cell);
}

void print_rows(std::ostream &out, const std::vector<CellResult> &results, Kind kind,
    const std::string &title, const char *header)
{
    bool any = false;
    for (const CellResult &cell : results) {
        if (kind_of(cell.setup) != kind) {
            continue;
        }
        if (!any) {
            out << title << header;
            any = true;
        }
        out << row_of(results, cell, kind);
    }
}

std::string wan_title()
{
    return "\nOver a link with a " + std::to_string(2 * WAN_ONE_WAY_MS) +
        " ms round trip, to a broker of mosquitto's default in-flight limit:\n\n";
}

} // namespace

void print_table(std::ostream &out, const std::vector<CellResult> &results)
{
    print_rows(out, results, Kind::THROUGHPUT, "Throughput:\n\n", THROUGHPUT_HEADER);
    print_rows(out, results, Kind::WAN, wan_title(), WAN_HEADER);
    print_rows(out, results, Kind::TLS, "\nTLS on loopback:\n\n", TLS_HEADER);
    print_rows(out, results, Kind::PACED, "\nLatency of a paced stream:\n\n", PACED_HEADER);
    print_rows(out, results, Kind::STALL, "\nA broker that stops reading:\n\n", STALL_HEADER);
}

void print_troubles(std::ostream &out, const std::vector<CellResult> &attempts)
{
    if (!attempts.empty()) {
        out << "\nAttempts in trouble (the table shows a clean attempt where there was one):\n\n";
    }
    for (const CellResult &cell : attempts) {
        out << "- " << cell.setup.Label() << ": ";
        if (!cell.error.empty()) {
            out << "failed: " << cell.error << "; ";
        }
        out << cell.Lost() << " lost, " << cell.corrupt << " corrupt, " << cell.dropped
            << " dropped by the host queue, " << cell.drops << " connections dropped\n";
    }
}
