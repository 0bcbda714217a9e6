/*
 * What watchers of the broker learn of the plug-in, and a list of
 * brokers: the birth retained while it runs and again after the broker's
 * restart, the farewell retained after a clean stop; a list whose first
 * broker refuses connections.
 */
#include "plugin_test.h"

using namespace std::chrono_literals;

class LivenessTest : public PluginTest
{
protected:
    const std::string status = std::string("gw/") + PROBE_NAME + "/status";

    /* What a subscriber that comes now gets first on the status topic. */
    ReceivedMessage retained(const Broker &broker) const
    {
        Subscriber late(broker.subscriber_port(), status);
        return late.wait_for(1) ? late.messages().front() : ReceivedMessage{};
    }
};

TEST_F(LivenessTest, BirthIsRetainedOnEveryConnectionAndTheFarewellAfterACleanStop)
{
    Broker &broker = start_broker();
    nlohmann::json config = config_for(broker, "gw/${channel}");
    config["will_topic"] = std::string("gw/") + PROBE_VARIABLE + "/status";
    start_plugin(config);
    // Once the broker has it, it is retained.
    const std::string birth =
        std::string("Received PUBLISH from ") + AGENT_UUID + " (d0, q1, r1, m1, '" + status + "'";
    const ReceivedMessage online{status, "online", 1, true};
    ASSERT_TRUE(broker.wait_for_log(birth));
    EXPECT_EQ(retained(broker), online);
    for (const char *payload : {"a", "b", "c"}) {
        plugin->queue(payload, {"flows"});
    }
    ASSERT_TRUE(wait_until([&] { return accounted().confirmed == 3; }));
    EXPECT_EQ(accounted().published, 3u) << "the birth is no payload's";

    // Without persistence the restarted broker has forgotten the birth.
    broker.stop();
    broker.start();
    ASSERT_TRUE(broker.wait_for_log(birth, 2));
    EXPECT_EQ(retained(broker), online);

    Subscriber watcher(broker.subscriber_port(), status);
    ASSERT_TRUE(watcher.wait_for(1));
    auto asked = std::chrono::steady_clock::now();
    ASSERT_TRUE(plugin->stop());
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 500ms) << "confirmed at once";
    ASSERT_TRUE(watcher.wait_for(2));
    EXPECT_EQ(watcher.messages().back().payload, "offline");
    EXPECT_EQ(retained(broker), (ReceivedMessage{status, "offline", 1, true}));
}

TEST_F(LivenessTest, AListWhoseFirstBrokerRefusesDeliversEverythingThroughTheNext)
{
    Broker &broker = start_broker(quiet_broker());
    Subscriber subscriber(broker.subscriber_port(), "gw/#");
    nlohmann::json config = config_for(broker, "gw/${channel}");
    const std::string dead = "127.0.0.1:" + std::to_string(free_loopback_port());
    const std::string live = "127.0.0.1:" + std::to_string(broker.port());
    config["host"] = dead + ", " + live;
    start_plugin(config);
    for (int i = 0; i < 100; ++i) {
        plugin->queue("p" + std::to_string(i), {"flows"});
    }

    ASSERT_TRUE(subscriber.wait_for(100));
    EXPECT_EQ(subscriber.distinct_payloads().size(), 100u);
    EXPECT_EQ(log.count(std::string(TAG) + ": MQ connect: " + dead + ": Connection refused"), 1u);
    EXPECT_EQ(accounted().broker, live);
}
