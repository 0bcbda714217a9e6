/*
 * Reloads while the plug-in runs.
 */
#include <gmock/gmock.h>

#include "plugin_test.h"

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
