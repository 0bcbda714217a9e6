#include "bench.h"

#include <algorithm>

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
    // WAN, per QoS: messages of a publisher whose window of 20 binds it
    // (QoS 1 and 2), and of one the round trip does not hold back as much.
    uint64_t wan_window_bound[3];
    uint64_t wan_messages[3];
    // TLS on loopback at QoS 0 and 1.
    uint64_t tls_small_messages[2];
    uint64_t tls_large_messages[2];
    // QoS 1 over a round trip that steps from 5 to 100 ms mid-stream.
    uint64_t step_messages;
};

// Full-run counts give the raw publisher of a cell two to three seconds
// on a quiet 2-core machine (QoS 1 and 2 wait for acknowledgements, 20 in
// flight, and are much slower than QoS 0). The 64 KiB cells also bound
// memory: the host's queue, which has room for the whole run, holds every
// payload the plug-in has not yet taken (it takes none before CONNACK, and
// then only as many as its in-flight target and unconfirmed bound allow).
// The stall of a full run is shorter than the keep-alive's limit (the
// client gives a connection up 15 s after an unanswered ping, and pings
// 15 s after the broker last spoke), starting as the stream starts.
// Over the WAN link a window of 20 carries at most 20 messages per 50 ms
// round trip: 400 a second at QoS 1, 200 at QoS 2 (two round trips each;
// delayed acknowledgements make it nearer 250 and 110). So the publishers
// it binds send fewer messages, 4000 and 2000: 10 to 20 s, a few hundred
// round trips, enough for a rate, and ratios are of rates. Wider windows
// at QoS 1, and QoS 0, get the 20000 messages the runner is judged by.
// The step cell's messages last about 1.5 s before the step (up to 90000
// a second there), and after it the 3 s measured there and a few more, at
// what a window of 4096 carries over 100 ms (at most 41000 a second).
constexpr Sizing FULL = {{300000, 60000, 40000}, {20000, 20000, 6000}, 1000, 10000, 10000, 300000,
    22, {20000, 4000, 2000}, {20000, 20000, 2000}, {100000, 40000}, {5000, 5000}, 400000};
constexpr Sizing TINY = {{2000, 1000, 1000}, {80, 80, 80}, 1000, 200, 2000, 4000, 1, {0, 0, 100},
    {0, 0, 100}, {0, 200}, {0, 0}, 0};

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

// Over a link with a round trip: the plug-in's hosts, the raw publisher
// with libmosquitto's window and with the plug-in's, and mosquitto_pub
// with its own. At QoS 0 no window applies and at QoS 2 the plug-in's is
// the library's: one raw publisher each. A tiny run proves the proxy and
// the second broker with one short plug-in cell at QoS 2, the level that
// broker drops publishers for.
void add_wan_cells(std::vector<CellSpec> &plan, const Sizing &sizing, bool tiny, bool with_runner)
{
    for (int qos = tiny ? 2 : 0; qos <= 2; ++qos) {
        auto add = [&plan, &sizing, qos](PublisherKind kind, int raw_window) {
            CellSpec cell{kind, qos, SMALL, 1, 0, 0, 0, Link::WAN, raw_window};
            cell.payloads = cell.window() == LIBRARY_WINDOW ? sizing.wan_window_bound[qos]
                                                            : sizing.wan_messages[qos];
            plan.push_back(cell);
        };
        add(PublisherKind::PLUGIN, 0);
        if (tiny) {
            continue;
        }
        if (with_runner) {
            add(PublisherKind::SINK_RUN, 0);
        }
        add(PublisherKind::RAW, 0);
        if (qos == 1) {
            add(PublisherKind::RAW, PLUGIN_QOS1_WINDOW);
        }
        if (qos < 2) {
            add(PublisherKind::PUB_CLI, 0);
        }
    }
}

// What TLS costs the plug-in next to what it costs the library, with the
// raw publisher's window as on plain loopback and as the plug-in's. A tiny
// run proves the TLS set-up with one short plug-in cell.
void add_tls_cells(std::vector<CellSpec> &plan, const Sizing &sizing, bool tiny)
{
    for (int qos = tiny ? 1 : 0; qos <= 1; ++qos) {
        for (std::size_t size : {SMALL, LARGE}) {
            uint64_t payloads =
                size == SMALL ? sizing.tls_small_messages[qos] : sizing.tls_large_messages[qos];
            if (payloads == 0) {
                continue;
            }
            auto add = [&plan, qos, size, payloads](PublisherKind kind, int raw_window) {
                plan.push_back({kind, qos, size, 1, payloads, 0, 0, Link::TLS, raw_window});
            };
            add(PublisherKind::PLUGIN, 0);
            if (!tiny) {
                add(PublisherKind::RAW, 0);
            }
            if (!tiny && qos == 1) {
                add(PublisherKind::RAW, PLUGIN_QOS1_WINDOW);
            }
        }
    }
}

// A path that becomes slower under a stream (a backup link, a congested
// uplink): the plug-in and the raw publisher with the same window, QoS 1,
// the level whose rate the round trip sets.
void add_step_cells(std::vector<CellSpec> &plan, const Sizing &sizing)
{
    if (sizing.step_messages == 0) {
        return;
    }
    for (PublisherKind kind : {PublisherKind::PLUGIN, PublisherKind::RAW}) {
        plan.push_back({kind, 1, SMALL, 1, sizing.step_messages, 0, 0, Link::STEP,
            kind == PublisherKind::RAW ? PLUGIN_QOS1_WINDOW : 0});
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

// What MQTT 5 costs the plug-in's hosts at the levels where it changes
// something (reason codes in the acknowledgements), next to their own
// 3.1.1 cells of the same run. A tiny run proves the v5 path with one.
void add_mqtt5_cells(std::vector<CellSpec> &plan, const Sizing &sizing, bool tiny,
    bool with_runner)
{
    for (int qos = 1; qos <= (tiny ? 1 : 2); ++qos) {
        for (PublisherKind kind : {PublisherKind::PLUGIN, PublisherKind::SINK_RUN}) {
            if (kind == PublisherKind::SINK_RUN && (tiny || !with_runner)) {
                continue;
            }
            CellSpec cell{kind, qos, SMALL, 1, sizing.small_messages[qos], 0};
            cell.mqtt5 = true;
            plan.push_back(cell);
        }
    }
}

// What the disk spool costs the plug-in's hosts at QoS 1, where it keeps
// every payload until the broker has it, next to their own cells without
// one in the same run. A tiny run proves the path with one.
void add_spool_cells(std::vector<CellSpec> &plan, const Sizing &sizing, bool tiny,
    bool with_runner)
{
    for (PublisherKind kind : {PublisherKind::PLUGIN, PublisherKind::SINK_RUN}) {
        if (kind == PublisherKind::SINK_RUN && (tiny || !with_runner)) {
            continue;
        }
        CellSpec cell{kind, 1, SMALL, 1, sizing.small_messages[1], 0};
        cell.spool = true;
        plan.push_back(cell);
    }
}

void add_stall_cell(std::vector<CellSpec> &plan, const Sizing &sizing)
{
    plan.push_back({PublisherKind::PLUGIN, 0, LINE, 1, sizing.stall_payloads, sizing.stall_rate,
        sizing.stall_seconds});
}

// `only` holds one text or several, between "|".
bool matches_any(const std::string &label, const std::string &only)
{
    for (std::size_t start = 0; start <= only.size();) {
        std::size_t end = std::min(only.find('|', start), only.size());
        if (label.find(only.substr(start, end - start)) != std::string::npos) {
            return true;
        }
        start = end + 1;
    }
    return false;
}

} // namespace

const char *publisher_name(PublisherKind kind)
{
    static const char *const NAMES[] = {"plugin", "raw", "mosquitto_pub", "sink-run"};
    return NAMES[static_cast<int>(kind)];
}

const char *link_name(Link link)
{
    static const char *const NAMES[] = {"loopback", "wan", "tls", "step"};
    return NAMES[static_cast<int>(link)];
}

int CellSpec::window() const
{
    if (qos == 0) {
        return 0;
    }
    switch (kind) {
    case PublisherKind::PLUGIN:
    case PublisherKind::SINK_RUN:
        return qos == 2 ? PLUGIN_QOS2_WINDOW : PLUGIN_QOS1_WINDOW;
    case PublisherKind::RAW:
        return raw_window != 0 ? raw_window : LIBRARY_WINDOW;
    case PublisherKind::PUB_CLI:
        break;
    }
    return LIBRARY_WINDOW;
}

std::string CellSpec::label() const
{
    std::string label = publisher_name(kind);
    if (stalled()) {
        label += " stall";
    } else if (paced()) {
        label += " paced";
    }
    if (link != Link::LOOPBACK) {
        label += std::string(" ") + link_name(link);
    }
    if (mqtt5) {
        label += " v5";
    }
    if (spool) {
        label += " spool";
    }
    if (raw_window != 0) {
        label += " w" + std::to_string(raw_window);
    }
    return label + " q" + std::to_string(qos) + " " + std::to_string(size) + "B " +
        std::to_string(channels) + "ch";
}

std::vector<CellSpec> make_plan(bool tiny, const std::string &only, bool with_runner)
{
    const Sizing &sizing = tiny ? TINY : FULL;
    std::vector<CellSpec> all;
    add_throughput_cells(all, sizing, tiny, with_runner);
    add_mqtt5_cells(all, sizing, tiny, with_runner);
    add_spool_cells(all, sizing, tiny, with_runner);
    add_wan_cells(all, sizing, tiny, with_runner);
    add_tls_cells(all, sizing, tiny);
    add_step_cells(all, sizing);
    add_paced_cells(all, sizing, tiny);
    add_stall_cell(all, sizing);
    std::vector<CellSpec> plan;
    for (const CellSpec &cell : all) {
        if (only.empty() || matches_any(cell.label(), only)) {
            plan.push_back(cell);
        }
    }
    return plan;
}
