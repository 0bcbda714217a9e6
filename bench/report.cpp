#include "report.h"

#include <cstdio>
#include <functional>
#include <string>

#include <host/tavrixd.h>

namespace {

const char *THROUGHPUT_HEADER =
    "| publisher | QoS | size | ch | messages | msg/s | MB/s | vs raw | vs pub | 1st msg ms "
    "| flow msg/s | flow vs raw | flow vs pub | lost | dup | CPU s/100k | CPU vs raw "
    "| peak RSS MB | RSS vs raw |\n"
    "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";

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

/* The same measurement of another publisher, if it ran cleanly. */
const CellResult *peer_of(const std::vector<CellResult> &results, const CellResult &cell,
    PublisherKind kind)
{
    for (const CellResult &other : results) {
        const CellSpec &setup = other.setup;
        if (setup.kind == kind && setup.paced() == cell.setup.paced() && !setup.stalled() &&
            setup.qos == cell.setup.qos && setup.size == cell.setup.size &&
            setup.channels == cell.setup.channels && other.error.empty()) {
            return &other;
        }
    }
    return nullptr;
}

using Figure = std::function<double(const CellResult &)>;

// The plug-in's hosts are compared with the others, not the reverse.
bool hosted(const CellResult &cell)
{
    return cell.setup.kind == PublisherKind::PLUGIN || cell.setup.kind == PublisherKind::SINK_RUN;
}

std::string ratio(const std::vector<CellResult> &results, const CellResult &cell, PublisherKind peer,
    const Figure &figure)
{
    if (!hosted(cell)) {
        return "";
    }
    const CellResult *other = peer_of(results, cell, peer);
    if (other == nullptr || figure(*other) <= 0) {
        return "-";
    }
    return fixed(figure(cell) / figure(*other), 2);
}

std::string difference(const std::vector<CellResult> &results, const CellResult &cell,
    PublisherKind peer, const Figure &figure)
{
    if (!hosted(cell)) {
        return "";
    }
    const CellResult *other = peer_of(results, cell, peer);
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

std::string throughput_row(const std::vector<CellResult> &results, const CellResult &cell)
{
    const CellSpec &setup = cell.setup;
    return line_of({
        publisher_name(setup.kind),
        std::to_string(setup.qos),
        size_text(setup.size),
        std::to_string(setup.channels),
        std::to_string(cell.expected),
        cell.error.empty() ? fixed(cell.MessagesPerSecond(), 0) : "failed",
        fixed(cell.MegabytesPerSecond(), 1),
        ratio(results, cell, PublisherKind::RAW, RATE),
        ratio(results, cell, PublisherKind::PUB_CLI, RATE),
        fixed(cell.first_delay * 1000.0, 0),
        fixed(cell.FlowMessagesPerSecond(), 0),
        ratio(results, cell, PublisherKind::RAW, FLOW),
        ratio(results, cell, PublisherKind::PUB_CLI, FLOW),
        std::to_string(cell.Lost()),
        std::to_string(cell.duplicates),
        fixed(cell.CpuPer100k(), 2),
        ratio(results, cell, PublisherKind::RAW, CPU),
        fixed(rss_mb(cell), 1),
        ratio(results, cell, PublisherKind::RAW, RSS),
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
        ratio(results, cell, PublisherKind::RAW, CPU),
        fixed(rss_mb(cell), 1),
        ratio(results, cell, PublisherKind::RAW, RSS),
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

enum class Kind { THROUGHPUT, PACED, STALL };

Kind kind_of(const CellSpec &setup)
{
    return setup.stalled() ? Kind::STALL : setup.paced() ? Kind::PACED : Kind::THROUGHPUT;
}

void print_rows(std::ostream &out, const std::vector<CellResult> &results, Kind kind,
    const char *title, const char *header)
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
        out << (kind == Kind::THROUGHPUT ? throughput_row(results, cell)
                : kind == Kind::PACED    ? paced_row(results, cell)
                                         : stall_row(cell));
    }
}

} // namespace

void print_table(std::ostream &out, const std::vector<CellResult> &results)
{
    print_rows(out, results, Kind::THROUGHPUT, "Throughput:\n\n", THROUGHPUT_HEADER);
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
            << " dropped by the host queue\n";
    }
}
