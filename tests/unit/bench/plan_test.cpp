#include <gtest/gtest.h>

#include <map>
#include <set>
#include <tuple>

#include "plan.h"

namespace {

using Shape = std::tuple<int, std::size_t, int>;

Shape shape_of(const CellSpec &cell)
{
    return {cell.qos, cell.size, cell.channels};
}

TEST(Plan, FullRunComparesEveryShapeWithItsPeers)
{
    std::map<PublisherKind, std::set<Shape>> shapes;
    for (const CellSpec &cell : make_plan(false, "", true)) {
        if (cell.paced()) {
            EXPECT_TRUE(cell.stalled() || cell.kind == PublisherKind::PLUGIN ||
                cell.kind == PublisherKind::RAW);
            continue;
        }
        // Channels share the messages: every shape runs equally long.
        EXPECT_EQ(cell.messages() % cell.payloads, 0u);
        shapes[cell.kind].insert(shape_of(cell));
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
    bool stalled = false;
    for (const CellSpec &cell : make_plan(true, "", true)) {
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
        EXPECT_LE(cell.payloads, 4000u) << cell.Label();
    }
    EXPECT_EQ(qos.size(), 3u);
    EXPECT_EQ(sizes.size(), 2u);
    EXPECT_EQ(channels.size(), 2u);
    EXPECT_EQ(kinds.size(), 4u);
    EXPECT_EQ(paced.size(), 2u) << "the plug-in and raw";
    EXPECT_TRUE(stalled);
}

TEST(Plan, OnlyKeepsMatchingLabels)
{
    std::vector<CellSpec> plan = make_plan(false, "plugin q1 200B 4ch", true);
    ASSERT_EQ(plan.size(), 1u);
    EXPECT_EQ(plan[0].Label(), "plugin q1 200B 4ch");
    EXPECT_TRUE(make_plan(false, "no such cell", true).empty());
    EXPECT_EQ(make_plan(false, "paced", true).size(), 6u) << "the plug-in and raw, each QoS";
    EXPECT_EQ(make_plan(false, "stall", true).size(), 1u);
}

} // namespace
