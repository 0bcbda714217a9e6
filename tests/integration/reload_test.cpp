/*
 * Broker restarts and reloads while the plug-in runs.
 */
#include <gmock/gmock.h>

#include "plugin_test.h"


TEST_F(PluginTest, ReconnectsAfterTheBrokerRestartsOnTheSamePort)
{
    Broker &broker = start_broker();
    start_plugin(config_for(broker, "tavrix/${channel}"));
    ASSERT_TRUE(wait_connected(1));
    {
        Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
        plugin->queue("before", {"before"});
        ASSERT_TRUE(subscriber.wait_for_topic("tavrix/before"));
    }

    broker.stop();
    // Refused attempts while the broker is away; what is queued meanwhile
    // is dropped, not kept for later.
    const std::string refused =
        std::string(TAG) + ": MQ connect: 127.0.0.1:" + std::to_string(broker.port()) + ": ";
    ASSERT_TRUE(log.wait_for(refused));
    plugin->queue("while down", {"down"});
    ASSERT_TRUE(wait_queue_settled());

    broker.start();
    ASSERT_TRUE(wait_connected(2));
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    plugin->queue("after", {"after"});
    ASSERT_TRUE(subscriber.wait_for_topic("tavrix/after"));

    EXPECT_EQ(log.count(std::string(TAG) + ": MQ Publish: tavrix/down"), 0u);
    EXPECT_EQ(broker.log_count("'tavrix/down'"), 0u);
    // The same worker all along: one configuration load, no failure.
    EXPECT_EQ(log.count(std::string(TAG) + ": Loading configuration: "), 1u);
    EXPECT_FALSE(plugin->worker_ended());
}

TEST_F(PluginTest, ReloadChangesTheTopicAtOnceButTheBrokerAddressOnlyAfterTheConnectionBreaks)
{
    Broker &first = start_broker();
    Broker &second = start_broker();
    Subscriber at_first(first.subscriber_port(), "#");
    Subscriber at_second(second.subscriber_port(), "#");
    nlohmann::json config = config_for(first, "old/${channel}");
    start_plugin(config);
    ASSERT_TRUE(wait_connected(1));
    plugin->queue("one", {"c"});
    ASSERT_TRUE(at_first.wait_for_topic("old/c"));

    config["topic"] = "new/${channel}";
    config["host"] = "localhost";
    config["port"] = second.port();
    write_config(config);
    plugin->reload();
    ASSERT_TRUE(wait_reloaded(2));
    plugin->queue("two", {"c"});
    ASSERT_TRUE(at_first.wait_for_topic("new/c"));
    EXPECT_EQ(second.log_count(AGENT_UUID), 0u);

    first.stop();
    ASSERT_TRUE(wait_connected(2));
    plugin->queue("three", {"c"});
    ASSERT_TRUE(at_second.wait_for_topic("new/c"));
    EXPECT_EQ(at_second.messages().front(), (ReceivedMessage{"new/c", "three", 1, false}));
    EXPECT_EQ(second.log_count(std::string(" as ") + AGENT_UUID + " "), 1u);
}
