/*
 * What a broker configured as operators configure it does to the sink,
 * under each MQTT version: a denied topic, a packet over its limit, a
 * QoS 2 window over its in-flight limit, a lower maximum QoS, no retained
 * messages. MQTT 5 tells the plug-in each of them; 3.1.1 tells it none,
 * and the worst it can do is drop the connection at the same message
 * each time, which the give-up rule ends.
 */
#include <gmock/gmock.h>

#include "plugin_test.h"

using ::testing::HasSubstr;

class BrokerSettingsTest : public PluginTest, public ::testing::WithParamInterface<const char *>
{
protected:
    bool mqtt5() const { return std::string(GetParam()) == "5"; }

    nlohmann::json config(const Broker &broker, int qos)
    {
        nlohmann::json config = config_for(broker, "tavrix/${channel}");
        config["protocol_version"] = GetParam();
        config["message_qos"] = qos;
        return config;
    }

    /* Every publish confirmed, refused or given up. */
    bool settled(uint64_t payloads)
    {
        return wait_until(
            [&] {
                SinkStatus now = accounted();
                return now.payloads_taken == payloads && now.unconfirmed == 0;
            },
            std::chrono::seconds(20));
    }
};

TEST_P(BrokerSettingsTest, DeniedTopicAndPacketOverTheLimit)
{
    BrokerOptions options = quiet_broker();
    options.extra_lines = {"acl_file " +
            files.write("acl", "topic write tavrix/allowed\ntopic read #\n"),
        "max_packet_size 2000"};
    Broker &broker = start_broker(options);
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    start_plugin(config(broker, 1));
    ASSERT_TRUE(wait_connected());
    for (int i = 0; i < 5; ++i) {
        plugin->queue("denied", {"denied"});
    }
    for (int i = 0; i < 10; ++i) {
        plugin->queue("small " + std::to_string(i), {"allowed"});
        if (i == 4) {
            plugin->queue(std::string(5000, 'b'), {"allowed"});
        }
    }
    ASSERT_TRUE(settled(16));
    EXPECT_TRUE(subscriber.wait_for(10));

    SinkStatus figures = accounted();
    EXPECT_EQ(figures.protocol_version, GetParam());
    if (mqtt5()) {
        EXPECT_EQ(figures.refused_by_broker, 5u);
        EXPECT_EQ(figures.broker_refusals,
            (std::map<std::string, uint64_t>{{"Not authorized", 5}}));
        EXPECT_EQ(figures.last_broker_refusal, "tavrix/denied: Not authorized (0x87)");
        EXPECT_EQ(log.count("the broker refused a publish on tavrix/denied"), 1u);
        // Refused before it was sent: the connection stays.
        EXPECT_EQ(figures.refused, 1u);
        EXPECT_THAT(figures.last_refusal, HasSubstr("tavrix/allowed: 5000 bytes, over the"));
        EXPECT_EQ(figures.connections_lost, 0u);
        EXPECT_EQ(figures.broker_limits["maximum_packet_size"], 2000);
        EXPECT_EQ(figures.broker_limits["receive_maximum"], 20);
    } else {
        // A plain PUBACK for the denied ones; the big one ends connections
        // until it is given up.
        EXPECT_EQ(figures.confirmed, 15u);
        EXPECT_EQ(figures.lost, 1u);
        EXPECT_EQ(log.count("gave up a publish on tavrix/allowed (5000 bytes)"), 1u);
        EXPECT_GE(figures.connections_lost, 3u);
        EXPECT_TRUE(figures.broker_limits.is_null());
    }
    EXPECT_EQ(subscriber.distinct_payloads().size(), 10u) << "only the small ones arrive";
}

TEST_P(BrokerSettingsTest, QosTwoWindowOverTheBrokersInflightLimit)
{
    Broker &broker = start_broker(quiet_broker());
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json settings = config(broker, 2);
    settings["max_inflight_messages"] = 100;
    start_plugin(settings);
    ASSERT_TRUE(wait_connected());
    for (int i = 0; i < 1000; ++i) {
        plugin->queue("p" + std::to_string(i), {"flows"});
    }
    ASSERT_TRUE(settled(1000));
    EXPECT_EQ(accounted().confirmed, 1000u);
    EXPECT_EQ(accounted().connections_lost, 0u);
    if (mqtt5()) {
        EXPECT_EQ(accounted().broker_limits["receive_maximum"], 20);
        EXPECT_TRUE(subscriber.wait_for(1000));
    } else {
        // mosquitto answers what is over its limit with a plain PUBREC, and
        // drops it: the one thing 3.1.1 cannot tell.
        EXPECT_FALSE(subscriber.wait_for(1000, std::chrono::milliseconds(500)));
    }
}

TEST_P(BrokerSettingsTest, LowerMaximumQosAndNoRetainedMessages)
{
    BrokerOptions options = quiet_broker();
    options.extra_lines = {"max_qos 1", "retain_available false"};
    Broker &broker = start_broker(options);
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json settings = config(broker, 2);
    settings["message_retain"] = true;
    start_plugin(settings);
    ASSERT_TRUE(wait_connected());
    const uint64_t count = mqtt5() ? 20 : 1;
    for (uint64_t i = 0; i < count; ++i) {
        plugin->queue("p" + std::to_string(i), {"flows"});
    }
    ASSERT_TRUE(settled(count));
    if (mqtt5()) {
        ASSERT_TRUE(subscriber.wait_for(count));
        EXPECT_EQ(subscriber.messages().front().qos, 1);
        EXPECT_EQ(accounted().connections_lost, 0u);
        EXPECT_EQ(log.count("the broker takes QoS 1 at most: publishing at QoS 1"), 1u);
        EXPECT_EQ(log.count("the broker keeps no retained messages"), 1u);
        EXPECT_EQ(accounted().broker_limits,
            nlohmann::json::parse(R"({"maximum_packet_size": null, "maximum_qos": 1,
                "receive_maximum": 20, "retain_available": false})"));
    } else {
        // Dropped at each attempt to send it.
        EXPECT_EQ(accounted().lost, 1u);
        EXPECT_GE(accounted().connections_lost, 3u);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, BrokerSettingsTest, ::testing::Values("3.1.1", "5"),
    [](const ::testing::TestParamInfo<const char *> &version) {
        return std::string("mqtt") + (std::string(version.param) == "5" ? "5" : "311");
    });
