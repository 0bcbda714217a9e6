/*
 * The plug-in's own figures (report_status) against the real broker and
 * what a real subscriber received.
 */
#include <gmock/gmock.h>

#include "plugin_test.h"

TEST_F(PluginTest, FiguresMatchWhatTheSubscriberReceivedAtEachQos)
{
    Broker &broker = start_broker(quiet_broker());
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    std::size_t received = 0;
    for (int qos : {0, 1, 2}) {
        config["message_qos"] = qos;
        start_plugin(config);
        ASSERT_TRUE(wait_connected());
        for (int i = 0; i < 50; ++i) {
            plugin->queue("payload", {"a", "b"});
        }
        ASSERT_TRUE(wait_until([&] { return accounted().confirmed == 100u; },
            std::chrono::seconds(10)))
            << "QoS " << qos << ": " << accounted().confirmed << " confirmed";
        received += 100;
        // Before the next instance takes over the client id: the broker drops
        // what it has not read yet from the connection it closes for it.
        ASSERT_TRUE(subscriber.wait_for(received));
        SinkStatus figures = accounted();
        EXPECT_EQ(figures.payloads_taken, 50u);
        EXPECT_EQ(figures.published, 100u);
        EXPECT_EQ(figures.unconfirmed, 0u);
        EXPECT_EQ(figures.resent + figures.lost + figures.refused, 0u);
        EXPECT_EQ(figures.connections, 1u);
        EXPECT_EQ(figures.broker, "127.0.0.1:" + std::to_string(broker.port()));
        plugin->stop();
    }
    EXPECT_EQ(subscriber.messages().size(), received) << "more arrived than was published";
}

TEST_F(PluginTest, FiguresHoldWhatIsUnconfirmedAndWhatWasRefused)
{
    Broker &broker = start_broker(quiet_broker());
    start_plugin(config_for(broker, "tavrix/${channel}"));
    ASSERT_TRUE(wait_connected());
    // A broker that reads nothing acknowledges nothing.
    broker.pause();
    for (int i = 0; i < 10; ++i) {
        plugin->queue("unacknowledged", {"flows"});
    }
    plugin->queue("refused", {"+"});
    bool settled = wait_until([&] { return accounted().payloads_taken == 11; });
    SinkStatus figures = accounted();
    plugin.reset();
    broker.resume();

    ASSERT_TRUE(settled);
    EXPECT_EQ(figures.published, 10u);
    EXPECT_EQ(figures.confirmed, 0u);
    EXPECT_EQ(figures.unconfirmed, 10u);
    EXPECT_EQ(figures.refused, 1u);
    EXPECT_EQ(figures.last_refusal, "MQ Publish: tavrix/+: Invalid function arguments provided..");
}
