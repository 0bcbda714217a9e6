/*
 * The delivery accounting against the real plug-in and broker: it counts
 * the plug-in's client only, confirms what libmosquitto wrote or had
 * acknowledged, and counts lost what libmosquitto dropped.
 */

#include <gmock/gmock.h>

#include "plugin_test.h"

namespace {

BrokerOptions quiet_broker()
{
    BrokerOptions options;
    options.log_packets = false;
    return options;
}

} // namespace

TEST_F(PluginTest, AccountingConfirmsEveryPublishAtEachQosAndCountsOnlyThePluginsClient)
{
    Broker &broker = start_broker(quiet_broker());
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    for (int qos : {0, 1, 2}) {
        config["message_qos"] = qos;
        start_plugin(config);
        ASSERT_TRUE(wait_connected(static_cast<std::size_t>(qos) + 1));
        for (int i = 0; i < 50; ++i) {
            plugin->queue("payload", {"a", "b"});
        }
        ASSERT_TRUE(wait_until([&] { return accounted().confirmed == 100u * (qos + 1); },
            std::chrono::seconds(10)))
            << "QoS " << qos << ": " << accounted().confirmed << " confirmed";
        // Before the next instance takes over the client id: the broker drops
        // what it has not read yet from the connection it closes for it.
        ASSERT_TRUE(subscriber.wait_for(100u * (qos + 1)));
        plugin->stop();
    }
    DeliveryCounts counts = accounted();
    EXPECT_EQ(counts.accepted, 300u);
    EXPECT_EQ(counts.lost, 0u);
    EXPECT_EQ(counts.connections, 3u) << "the subscriber's own connection is not counted";
    plugin.reset();
    EXPECT_EQ(accounted().disconnections, 3u);
}

TEST_F(PluginTest, AccountingCountsWhatTheClientStillHeldAtItsEndAsLost)
{
    Broker &broker = start_broker(quiet_broker());
    start_plugin(config_for(broker, "tavrix/${channel}"));
    ASSERT_TRUE(wait_connected());
    // A broker that reads nothing acknowledges nothing.
    broker.pause();
    for (int i = 0; i < 10; ++i) {
        plugin->queue("unacknowledged", {"flows"});
    }
    bool published = wait_until([&] { return accounted().accepted == 10; },
        std::chrono::seconds(10));
    plugin.reset();
    broker.resume();
    ASSERT_TRUE(published);
    DeliveryCounts counts = accounted();
    EXPECT_EQ(counts.confirmed, 0u);
    EXPECT_EQ(counts.lost, 10u);
    EXPECT_EQ(counts.outstanding(), 0u);
}
