/*
 * A broker that only admits the users of its password file.
 */
#include <gmock/gmock.h>

#include "plugin_test.h"

namespace {

const SubscriberLogin READER{"reader", "reader-pass"};
constexpr const char *AGENT_USER = "agent";
constexpr const char *AGENT_PASS = "s3cret:with spaces";

BrokerOptions password_file_broker()
{
    BrokerOptions options;
    options.users = {{READER.user, READER.pass}, {AGENT_USER, AGENT_PASS}};
    return options;
}

} // namespace

TEST_F(PluginTest, PasswordFileBrokerAcceptsTheRightCredentials)
{
    Broker &broker = start_broker(password_file_broker());
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#", READER);
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["user"] = AGENT_USER;
    config["pass"] = AGENT_PASS;
    start_plugin(config);
    ASSERT_TRUE(wait_connected());

    plugin->queue("admitted", {"flows"});
    ASSERT_TRUE(subscriber.wait_for(1));
    EXPECT_EQ(subscriber.messages().front().payload, "admitted");
}

TEST_F(PluginTest, PasswordFileBrokerRefusesWrongCredentialsAndNothingIsPublished)
{
    Broker &broker = start_broker(password_file_broker());
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#", READER);
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["user"] = AGENT_USER;
    config["pass"] = "wrong";
    start_plugin(config);
    // The broker's answer reaches the plug-in's connect callback.
    ASSERT_TRUE(log.wait_for(std::string(TAG) + ": on_connect: "));
    ASSERT_TRUE(broker.wait_for_log("disconnected, not authorised."));

    plugin->queue("refused", {"flows"});
    // Refused again, and the payload still waits for a broker that admits
    // the plug-in.
    ASSERT_TRUE(broker.wait_for_log("disconnected, not authorised.", 2));
    EXPECT_EQ(plugin->sink().GetPayloadQueueDepth(), 1u);

    EXPECT_EQ(accounted().connections, 0u);
    EXPECT_EQ(published_count(), 0u);
    EXPECT_EQ(broker.log_count("Received PUBLISH"), 0u);
    EXPECT_TRUE(subscriber.messages().empty());
}
