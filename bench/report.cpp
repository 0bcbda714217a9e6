#include "report.h"

#include <cstdio>
#include <string>

namespace {

const char *HEADER =
    "| publisher | QoS | size | ch | messages | msg/s | MB/s | vs raw | vs pub | 1st msg ms "
    "| flow msg/s | flow vs raw | flow vs pub | lost | dup | CPU s/100k | CPU vs raw "
    "| peak RSS MB | p50 ms | p99 ms | max ms |\n"
    "|---|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|--:|\n";

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

/* The same measurement of another publisher, if it ran. */
const CellResult *peer_of(const std::vector<CellResult> &results, const CellResult &cell,
    PublisherKind kind)
{
    for (const CellResult &other : results) {
        const CellSpec &setup = other.setup;
        if (setup.kind == kind && !setup.paced() && setup.qos == cell.setup.qos &&
            setup.size == cell.setup.size && setup.channels == cell.setup.channels && other.error.empty()) {
            return &other;
        }
    }
    return nullptr;
}

using Rate = double (CellResult::*)() const;

std::string ratio(const std::vector<CellResult> &results, const CellResult &cell, PublisherKind peer,
    Rate rate = &CellResult::MessagesPerSecond)
{
    // The plug-in's hosts are compared with the others, not the reverse.
    bool hosted = cell.setup.kind == PublisherKind::PLUGIN || cell.setup.kind == PublisherKind::SINK_RUN;
    if (!hosted || cell.setup.paced()) {
        return "";
    }
    const CellResult *other = peer_of(results, cell, peer);
    if (other == nullptr || (other->*rate)() <= 0) {
        return "-";
    }
    return fixed((cell.*rate)() / (other->*rate)(), 2);
}

std::string publisher_text(const CellSpec &setup)
{
    std::string text = publisher_name(setup.kind);
    if (setup.paced()) {
        text += ", " + std::to_string(setup.rate) + "/s paced";
    }
    return text;
}

std::string row(const std::vector<CellResult> &results, const CellResult &cell)
{
    const CellSpec &setup = cell.setup;
    bool latency = setup.paced();
    std::string columns[] = {
        publisher_text(setup),
        std::to_string(setup.qos),
        size_text(setup.size),
        std::to_string(setup.channels),
        std::to_string(cell.expected),
        cell.error.empty() ? fixed(cell.MessagesPerSecond(), 0) : "failed",
        fixed(cell.MegabytesPerSecond(), 1),
        ratio(results, cell, PublisherKind::RAW),
        ratio(results, cell, PublisherKind::PUB_CLI),
        fixed(cell.first_delay * 1000.0, 0),
        latency ? "" : fixed(cell.FlowMessagesPerSecond(), 0),
        ratio(results, cell, PublisherKind::RAW, &CellResult::FlowMessagesPerSecond),
        ratio(results, cell, PublisherKind::PUB_CLI, &CellResult::FlowMessagesPerSecond),
        std::to_string(cell.Lost()),
        std::to_string(cell.duplicates),
        fixed(cell.CpuPer100k(), 2),
        ratio(results, cell, PublisherKind::RAW, &CellResult::CpuPer100k),
        fixed(static_cast<double>(cell.peak_rss_kb) / 1024.0, 1),
        latency ? fixed(cell.latency_p50_ms, 2) : "",
        latency ? fixed(cell.latency_p99_ms, 2) : "",
        latency ? fixed(cell.latency_max_ms, 2) : "",
    };
    std::string line = "|";
    for (const std::string &column : columns) {
        line += " " + column + " |";
    }
    return line + "\n";
}

} // namespace

void print_table(std::ostream &out, const std::vector<CellResult> &results)
{
    out << HEADER;
    for (const CellResult &cell : results) {
        out << row(results, cell);
    }
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
