#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <tuple>

#include "bench.h"

namespace {

using Shape = std::tuple<int, std::size_t, int>;

TEST(Plan, FullRunComparesEveryShapeWithItsPeers)
{
    std::map<PublisherKind, std::set<Shape>> shapes;
    for (const CellSpec &cell : make_plan(false, "", true)) {
        if (cell.link != Link::LOOPBACK) {
            continue;
        }
        if (cell.paced()) {
            EXPECT_TRUE(cell.stalled() || cell.kind == PublisherKind::PLUGIN ||
                cell.kind == PublisherKind::RAW);
            continue;
        }
        // Channels share the messages: every shape runs equally long.
        EXPECT_EQ(cell.messages() % cell.payloads, 0u);
        shapes[cell.kind].insert({cell.qos, cell.size, cell.channels});
    }
    const std::set<Shape> &plugin = shapes[PublisherKind::PLUGIN];
    const std::set<Shape> &pub = shapes[PublisherKind::PUB_CLI];
    EXPECT_EQ(plugin.size(), 3u * 2u * 2u);
    EXPECT_EQ(plugin, shapes[PublisherKind::RAW]);
    EXPECT_EQ(plugin, shapes[PublisherKind::SINK_RUN]);
    for (const Shape &shape : pub) {
        EXPECT_NE(std::get<0>(shape), 2) << "mosquitto_pub is compared at QoS 0 and 1";
        EXPECT_EQ(plugin.count(shape), 1u);
    }
    EXPECT_EQ(pub.size(), 2u * 2u * 2u);
    for (const CellSpec &cell : make_plan(false, "", false)) {
        EXPECT_NE(cell.kind, PublisherKind::SINK_RUN) << "no runner, no runner cells";
    }
}

TEST(Plan, TinyRunStillTouchesEveryPath)
{
    std::set<int> qos;
    std::set<std::size_t> sizes;
    std::set<int> channels;
    std::set<PublisherKind> kinds;
    std::set<PublisherKind> paced;
    std::map<Link, int> links;
    bool stalled = false;
    for (const CellSpec &cell : make_plan(true, "", true)) {
        ++links[cell.link];
        qos.insert(cell.qos);
        channels.insert(cell.channels);
        kinds.insert(cell.kind);
        if (cell.stalled()) {
            stalled = true;
        } else if (cell.paced()) {
            paced.insert(cell.kind);
        } else {
            sizes.insert(cell.size);
        }
        EXPECT_LE(cell.payloads, 4000u) << cell.label();
        if (cell.link != Link::LOOPBACK) {
            EXPECT_EQ(cell.kind, PublisherKind::PLUGIN) << "a tiny run fails on its losses only";
        }
        if (cell.link == Link::WAN) {
            EXPECT_EQ(cell.qos, 2) << "the level a default broker drops publishers for";
            EXPECT_LE(cell.payloads, 200u) << "about a second at 20 per two round trips";
        }
    }
    EXPECT_EQ(qos.size(), 3u);
    EXPECT_EQ(sizes.size(), 2u);
    EXPECT_EQ(channels.size(), 2u);
    EXPECT_EQ(kinds.size(), 4u);
    EXPECT_EQ(paced.size(), 2u) << "the plug-in and raw";
    EXPECT_TRUE(stalled);
    EXPECT_EQ(links[Link::WAN], 1) << "one short cell proves the proxy and its broker";
    EXPECT_EQ(links[Link::TLS], 1);
}

std::vector<CellSpec> cells_of(Link link, int qos)
{
    std::vector<CellSpec> cells = make_plan(false, "", true);
    cells.erase(std::remove_if(cells.begin(), cells.end(),
                    [&](const CellSpec &cell) { return cell.link != link || cell.qos != qos; }),
        cells.end());
    return cells;
}

bool has_cell(const std::vector<CellSpec> &cells, PublisherKind kind, int window)
{
    return std::any_of(cells.begin(), cells.end(),
        [&](const CellSpec &cell) { return cell.kind == kind && cell.window() == window; });
}

TEST(Plan, WanCellsPutTheHostsBetweenBothRawWindows)
{
    for (int qos = 0; qos <= 2; ++qos) {
        SCOPED_TRACE("QoS " + std::to_string(qos));
        std::vector<CellSpec> cells = cells_of(Link::WAN, qos);
        int plugin = qos == 0 ? 0 : qos == 1 ? PLUGIN_QOS1_WINDOW : PLUGIN_QOS2_WINDOW;
        int library = qos == 0 ? 0 : LIBRARY_WINDOW;
        EXPECT_TRUE(has_cell(cells, PublisherKind::PLUGIN, plugin));
        EXPECT_TRUE(has_cell(cells, PublisherKind::SINK_RUN, plugin));
        EXPECT_TRUE(has_cell(cells, PublisherKind::RAW, library));
        EXPECT_TRUE(has_cell(cells, PublisherKind::RAW, plugin));
        EXPECT_EQ(has_cell(cells, PublisherKind::PUB_CLI, library), qos < 2);
        // Two raw cells of one window would be one measurement twice.
        EXPECT_EQ(cells.size(), qos == 1 ? 5u : qos == 0 ? 4u : 3u);
    }
}

TEST(Plan, WanCountsKeepTheRunnersGoalAndTheRunShort)
{
    double seconds = 0;
    for (int qos = 0; qos <= 2; ++qos) {
        for (const CellSpec &cell : cells_of(Link::WAN, qos)) {
            if (cell.kind == PublisherKind::SINK_RUN && qos < 2) {
                EXPECT_EQ(cell.messages(), 20000u) << cell.label();
            }
            if (cell.window() == 0) {
                continue;
            }
            // At best a window per round trip; QoS 2 takes two. The widest
            // window may carry the runner's 20000 in a fifth of a second.
            double per_second = cell.window() * 1000.0 / (2 * WAN_ONE_WAY_MS) / qos;
            double least = static_cast<double>(cell.messages()) / per_second;
            EXPECT_GE(least, 0.2) << cell.label() << ": too few round trips for a rate";
            EXPECT_LE(least, 12.0) << cell.label();
            seconds += least;
        }
    }
    EXPECT_LE(seconds, 75.0) << "the WAN cells of one round";
}

TEST(Plan, LabelsNameEveryCellOnce)
{
    std::set<std::string> labels;
    for (const CellSpec &cell : make_plan(false, "", true)) {
        EXPECT_TRUE(labels.insert(cell.label()).second) << cell.label();
    }
    for (const char *link : {"wan", "tls"}) {
        for (const CellSpec &cell : make_plan(false, link, true)) {
            EXPECT_STREQ(link_name(cell.link), link) << cell.label();
        }
    }
    EXPECT_EQ(make_plan(false, "raw wan w" + std::to_string(PLUGIN_QOS1_WINDOW) + " q1", true)
                  .size(),
        1u);
}

TEST(Plan, OnlyKeepsMatchingLabels)
{
    std::vector<CellSpec> plan = make_plan(false, "plugin q1 200B 4ch", true);
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].label(), "plugin q1 200B 4ch");
    EXPECT_TRUE(make_plan(false, "no such cell", true).empty());
    EXPECT_EQ(make_plan(false, "paced", true).size(), 6u) << "the plug-in and raw, each QoS";
    EXPECT_EQ(make_plan(false, "stall", true).size(), 1u);
    EXPECT_EQ(make_plan(false, "plugin q2 200B 1ch|v5 q2", true).size(), 3u)
        << "one of several texts; MQTT 5 for the plug-in and the runner";
}

} // namespace
