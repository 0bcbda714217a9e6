#include "plan.h"

namespace {

constexpr std::size_t SMALL = 200;
constexpr std::size_t LARGE = 64 * 1024;

constexpr std::size_t LINE = 1024;

struct Sizing {
    // Messages per throughput cell, whatever the channel count: the
    // channels share them, so that every cell takes about as long.
    uint64_t small_messages[3];
    uint64_t large_messages[3];
    unsigned paced_rate;
    uint64_t paced_payloads;
    // A stream of 1 KiB lines whose broker stops for a while.
    unsigned stall_rate;
    uint64_t stall_payloads;
    unsigned stall_seconds;
};

// Full-run counts give the raw publisher of a cell two to three seconds
// on a quiet 2-core machine (QoS 1 and 2 wait for acknowledgements, 20 in
// flight, and are much slower than QoS 0), and the whole run about five
// minutes. The 64 KiB cells also bound memory: the plug-in's process holds
// up to two copies of every payload (the host's queue and the library's).
// The stall of a full run is shorter than the keep-alive's limit (the
// client gives a connection up 15 s after an unanswered ping, and pings
// 15 s after the broker last spoke), starting as the stream starts.
constexpr Sizing FULL = {{300000, 60000, 40000}, {20000, 20000, 6000}, 1000, 10000, 10000, 300000, 22};
constexpr Sizing TINY = {{2000, 1000, 1000}, {80, 80, 80}, 1000, 200, 2000, 4000, 1};

void add_throughput_cells(std::vector<CellSpec> &plan, const Sizing &sizing, bool tiny,
    bool with_runner)
{
    for (int qos = 0; qos <= 2; ++qos) {
        for (std::size_t size : {SMALL, LARGE}) {
            for (int channels : {1, 4}) {
                // A tiny run keeps one cell per QoS and one large,
                // multi-channel cell: every code path, few plug-in starts.
                if (tiny && !(size == SMALL && channels == 1) && !(size == LARGE && qos == 1 && channels == 4)) {
                    continue;
                }
                uint64_t messages = size == SMALL ? sizing.small_messages[qos] : sizing.large_messages[qos];
                uint64_t payloads = messages / static_cast<uint64_t>(channels);
                for (PublisherKind kind : {PublisherKind::PLUGIN, PublisherKind::SINK_RUN,
                         PublisherKind::RAW, PublisherKind::PUB_CLI}) {
                    // mosquitto_pub is compared at the QoS levels it is
                    // commonly fed with.
                    if ((kind == PublisherKind::PUB_CLI && qos == 2) ||
                        (kind == PublisherKind::SINK_RUN && !with_runner)) {
                        continue;
                    }
                    plan.push_back({kind, qos, size, channels, payloads, 0});
                }
            }
        }
    }
}

// The plug-in's latency next to the library's own with the same loop.
void add_paced_cells(std::vector<CellSpec> &plan, const Sizing &sizing, bool tiny)
{
    // One paced QoS proves the pacing works; each cell costs a start.
    for (int qos = 0; qos <= (tiny ? 0 : 2); ++qos) {
        for (PublisherKind kind : {PublisherKind::PLUGIN, PublisherKind::RAW}) {
            plan.push_back({kind, qos, SMALL, 1, sizing.paced_payloads, sizing.paced_rate});
        }
    }
}

void add_stall_cell(std::vector<CellSpec> &plan, const Sizing &sizing)
{
    plan.push_back({PublisherKind::PLUGIN, 0, LINE, 1, sizing.stall_payloads, sizing.stall_rate,
        sizing.stall_seconds});
}

} // namespace

const char *publisher_name(PublisherKind kind)
{
    switch (kind) {
    case PublisherKind::PLUGIN:
        return "plugin";
    case PublisherKind::RAW:
        return "raw";
    case PublisherKind::PUB_CLI:
        return "mosquitto_pub";
    case PublisherKind::SINK_RUN:
        return "sink-run";
    }
    return "?";
}

std::string CellSpec::Label() const
{
    std::string label = publisher_name(kind);
    if (stalled()) {
        label += " stall";
    } else if (paced()) {
        label += " paced";
    }
    return label + " q" + std::to_string(qos) + " " + std::to_string(size) + "B " +
        std::to_string(channels) + "ch";
}

std::vector<CellSpec> make_plan(bool tiny, const std::string &only, bool with_runner)
{
    const Sizing &sizing = tiny ? TINY : FULL;
    std::vector<CellSpec> all;
    add_throughput_cells(all, sizing, tiny, with_runner);
    add_paced_cells(all, sizing, tiny);
    add_stall_cell(all, sizing);
    std::vector<CellSpec> plan;
    for (const CellSpec &cell : all) {
        if (only.empty() || cell.Label().find(only) != std::string::npos) {
            plan.push_back(cell);
        }
    }
    return plan;
}
