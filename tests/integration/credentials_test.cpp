/*
 * Credentials: a broker that only admits the users of its password file,
 * and credentials as large as MQTT carries.
 */
#include <gmock/gmock.h>

#include <thread>

#include "fault_proxy.h"
#include "plugin_test.h"
#include "socket_shims.h"

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

// A CONNECT larger than the socket takes at once (the plug-in accepts user
// names and passwords up to MQTT's 64 KiB each) goes out over several
// writable passes. Loopback takes any packet at once: a small send buffer
// and a path that reads nothing at first make it fill, as a real path's
// first round trips do.
TEST_F(PluginTest, SixtyKilobyteUserNameConnectsOverASocketItFills)
{
    Broker &broker = start_broker();
    FaultProxy path(broker.port());
    path.stall(FaultProxy::Direction::TO_UPSTREAM, true);
    shim_send_buffer(8 * 1024);
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["port"] = path.port();
    config["user"] = std::string(60 * 1024, 'u');
    config["pass"] = std::string(60 * 1024, 'p');
    start_plugin(config);
    ASSERT_TRUE(wait_until([&] { return path.accepted() == 1; }, std::chrono::seconds(5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    path.stall(FaultProxy::Direction::TO_UPSTREAM, false);
    shim_send_buffer(0);

    EXPECT_TRUE(wait_until([&] { return accounted().connected; }, std::chrono::seconds(5)))
        << "the rest of the CONNECT was never written";
    EXPECT_EQ(path.accepted(), 1u) << "connected at the first attempt";
}
