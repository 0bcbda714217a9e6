#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <string>
#include <vector>

#include "bench.h"

namespace {

CellResult measured(PublisherKind kind, int qos, int channels, double seconds,
    Link link = Link::LOOPBACK, int window = 0)
{
    CellResult cell;
    cell.setup = {kind, qos, 200, channels, 1000, 0, 0, link, window};
    cell.expected = cell.received = cell.setup.messages();
    cell.seconds = seconds;
    cell.flow_seconds = seconds;
    return cell;
}

std::string row_of(const std::string &table, const std::string &start)
{
    std::istringstream lines(table);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(start, 0) == 0) {
            return line;
        }
    }
    return "";
}

std::string table_of(const std::vector<CellResult> &results)
{
    std::ostringstream out;
    print_table(out, results);
    return out.str();
}

TEST(Report, RatiosCompareWithTheSameShapeOnly)
{
    std::vector<CellResult> results = {
        measured(PublisherKind::PLUGIN, 1, 1, 2.0),
        measured(PublisherKind::RAW, 0, 1, 0.5), // another QoS: not a peer
        measured(PublisherKind::RAW, 1, 4, 0.5), // other channels: not a peer
        measured(PublisherKind::RAW, 1, 1, 1.0),
        measured(PublisherKind::PUB_CLI, 1, 1, 4.0),
        measured(PublisherKind::SINK_RUN, 1, 1, 0.5),
    };
    results[0].cpu_seconds = 3.0;
    results[3].cpu_seconds = 2.0;
    std::string table = table_of(results);
    std::string plugin = row_of(table, "| plugin |");
    EXPECT_NE(plugin.find("| 0.50 | 2.00 |"), std::string::npos) << plugin;
    EXPECT_NE(plugin.find("| 1.50 |"), std::string::npos) << "CPU against raw's: " << plugin;
    std::string runner = row_of(table, "| sink-run |");
    EXPECT_NE(runner.find("| 2.00 | 8.00 |"), std::string::npos) << runner;
}

TEST(Report, MissingOrFailedPeersShowNoRatio)
{
    CellResult failed_raw = measured(PublisherKind::RAW, 2, 1, 1.0);
    failed_raw.error = "did not stop";
    std::string plugin =
        row_of(table_of({measured(PublisherKind::PLUGIN, 2, 1, 2.0), failed_raw}), "| plugin |");
    EXPECT_NE(plugin.find("| - | - |"), std::string::npos) << plugin;
    std::string raw = row_of(table_of({failed_raw}), "| raw |");
    EXPECT_NE(raw.find("failed"), std::string::npos) << raw;
}

TEST(Report, PacedRowsShowLatencyNextToTheRawPublishersOnly)
{
    CellResult paced = measured(PublisherKind::PLUGIN, 0, 1, 10.0);
    paced.setup.rate = 1000;
    paced.latency_p50_ms = 0.5;
    paced.latency_p99_ms = 3.25;
    paced.latency_max_ms = 20;
    CellResult raw = paced;
    raw.setup.kind = PublisherKind::RAW;
    raw.latency_p99_ms = 1.0;
    CellResult burst = measured(PublisherKind::PLUGIN, 0, 1, 1.0);
    burst.latency_p50_ms = 77;
    CellResult burst_raw = measured(PublisherKind::RAW, 0, 1, 1.0);
    burst_raw.latency_p99_ms = 0.25; // not the paced rows' peer
    std::string table = table_of({burst, burst_raw, paced, raw});

    std::string paced_table = table.substr(table.find("Latency of a paced stream"));
    EXPECT_NE(row_of(paced_table, "| plugin |").find("| 0.50 | 3.25 | 20.00 | 2.25 |"),
        std::string::npos) << paced_table;
    EXPECT_EQ(row_of(table, "| plugin | 0 |").find("77.00"), std::string::npos);
}

TEST(Report, StallRowsMeasureMemoryAgainstTheHostsQueue)
{
    CellResult stalled = measured(PublisherKind::PLUGIN, 0, 1, 30.0);
    stalled.setup.size = 1024;
    stalled.setup.rate = 10000;
    stalled.setup.stall_seconds = 22;
    stalled.peak_rss_kb = 100 * 1024;
    stalled.latency_max_ms = 23500;
    std::string table = table_of({stalled});
    std::string row = row_of(table.substr(table.find("A broker that stops reading")), "| plugin |");
    // 65536 payloads of 1 KiB: 64 MB of the 100 MB.
    EXPECT_NE(row.find("| 23.5 | 100.0 | 64.0 | 36.0 |"), std::string::npos) << row;
}

std::string section_of(const std::string &table, const std::string &title)
{
    std::size_t at = table.find(title);
    if (at == std::string::npos) {
        return "";
    }
    return table.substr(at, table.find("\n\n", table.find("|", at)) - at);
}

TEST(Report, WanRowsCompareWithEitherRawWindowAndTheirOwnQosZero)
{
    std::vector<CellResult> results = {
        measured(PublisherKind::RAW, 1, 1, 0.1), // another link: not a peer
        measured(PublisherKind::SINK_RUN, 1, 1, 2.0, Link::WAN),
        measured(PublisherKind::RAW, 1, 1, 40.0, Link::WAN),
        measured(PublisherKind::RAW, 1, 1, 1.0, Link::WAN, PLUGIN_QOS1_WINDOW),
        measured(PublisherKind::SINK_RUN, 0, 1, 1.0, Link::WAN),
        measured(PublisherKind::RAW, 0, 1, 0.5, Link::WAN),
    };
    results[1].cpu_seconds = 3.0;
    results[3].cpu_seconds = 2.0;
    std::string wan = section_of(table_of(results), "50 ms round trip");
    // 20x raw with 20 in flight, half of raw with its own window, half its
    // QoS 0 rate.
    std::string runner = row_of(wan, "| sink-run | 1 |");
    EXPECT_NE(runner.find("| 1000 | 500 | 20.00 | 0.50 | - | 0.50 |"), std::string::npos)
        << wan;
    EXPECT_NE(runner.find("| 1.50 |"), std::string::npos) << "CPU";
    // A peer of its own shape is no comparison; QoS 0 has no window.
    EXPECT_NE(row_of(wan, "| raw | 1 | 200 B | 1 | 20 |").find("| 1000 | 25 |  |  | - | 0.01 |"),
        std::string::npos) << wan;
    EXPECT_NE(row_of(wan, "| raw | 0 |").find("| - | 1000 | 2000 |  |  | - |  |"),
        std::string::npos) << wan;
}

TEST(Report, TlsRowsCompareWithTheSamePublisherOnPlainLoopback)
{
    std::vector<CellResult> results = {
        measured(PublisherKind::PLUGIN, 1, 1, 2.0, Link::TLS),
        measured(PublisherKind::RAW, 1, 1, 1.0, Link::TLS),
        measured(PublisherKind::PLUGIN, 1, 1, 1.6),
        measured(PublisherKind::RAW, 1, 1, 0.5),
    };
    std::string tls = section_of(table_of(results), "TLS on loopback");
    // The raw publisher with the plug-in's window did not run.
    EXPECT_NE(row_of(tls, "| plugin |").find("| 500 | 0.1 | 0.50 | - | 0.80 |"), std::string::npos)
        << tls;
    EXPECT_NE(row_of(tls, "| raw |").find("| 1000 | 0.2 |  |  | 0.50 |"), std::string::npos) << tls;
}

TEST(Report, StepRowsCompareTheRatesAfterTheStepWithTheRawPublishers)
{
    std::vector<CellResult> results = {
        measured(PublisherKind::PLUGIN, 1, 1, 1.0, Link::STEP),
        measured(PublisherKind::RAW, 1, 1, 1.0, Link::STEP, PLUGIN_QOS1_WINDOW),
    };
    results[0].before_step_rate = 60000;
    results[0].after_step_rate = 32000;
    results[0].later_rate = 36000;
    results[1].after_step_rate = 40000;
    results[1].later_rate = 40000;
    std::string step = section_of(table_of(results), "steps from 5 to 100 ms");
    EXPECT_NE(row_of(step, "| plugin |").find("| 60000 | 32000 | 0.80 | 36000 | 0.90 |"),
        std::string::npos) << step;
}

TEST(Report, EveryRowHasItsHeadersColumns)
{
    CellResult paced = measured(PublisherKind::PLUGIN, 0, 1, 10.0);
    paced.setup.rate = 1000;
    CellResult stalled = paced;
    stalled.setup.stall_seconds = 5;
    std::string table = table_of({measured(PublisherKind::RAW, 1, 1, 1.0),
        measured(PublisherKind::PUB_CLI, 1, 1, 1.0, Link::WAN),
        measured(PublisherKind::RAW, 0, 1, 1.0, Link::TLS), paced, stalled});
    std::istringstream lines(table);
    std::string line;
    std::ptrdiff_t header = 0;
    int rows = 0;
    while (std::getline(lines, line)) {
        if (line.rfind("| publisher |", 0) == 0) {
            header = std::count(line.begin(), line.end(), '|');
        } else if (line.rfind("| ", 0) == 0) {
            EXPECT_EQ(std::count(line.begin(), line.end(), '|'), header) << line;
            ++rows;
        }
    }
    EXPECT_EQ(rows, 5);
    EXPECT_NE(row_of(table, "| raw | 1 | 200 B | 1 | 20 |"), "") << "the window it ran with";
}

TEST(Report, TroubledAttemptsAreListed)
{
    CellResult lossy = measured(PublisherKind::PLUGIN, 0, 1, 1.0);
    lossy.received = lossy.expected - 3;
    std::ostringstream out;
    print_troubles(out, {lossy});
    EXPECT_NE(out.str().find("plugin q0 200B 1ch: 3 lost"), std::string::npos) << out.str();
    std::ostringstream none;
    print_troubles(none, {});
    EXPECT_TRUE(none.str().empty());
}

} // namespace
