/*
 * The in-flight window against a mosquitto of default configuration: over
 * a link with a round-trip time, QoS 1 is not held to libmosquitto's 20
 * messages per round trip (the option that widens it works for MQTT 3.1.1
 * clients too), and QoS 2 keeps within what the broker lets a client have
 * in flight, without being dropped.
 */
#include <gmock/gmock.h>

#include <algorithm>
#include <thread>

#include "fault_proxy.h"
#include "plugin_test.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr std::chrono::milliseconds ONE_WAY{25};

// mosquitto's defaults, but for the subscriber's queue: a QoS 0 subscriber
// that falls more than 1000 messages behind on a loaded machine has the
// rest dropped, and it is the publisher's side that is under test.
BrokerOptions default_limits()
{
    BrokerOptions options = quiet_broker();
    options.extra_lines = {"max_queued_messages 0"};
    return options;
}

} // namespace

class WindowTest : public PluginTest
{
protected:
    /* Publishes `count` payloads at `qos` through `port` (through a spool
     * in `spool_dir` if given), returning how long libmosquitto took to
     * confirm them all. */
    Clock::duration publish_all(const Broker &broker, uint16_t port, int qos, int count,
        const std::string &spool_dir = "")
    {
        nlohmann::json config = config_for(broker, "tavrix/${channel}");
        config["port"] = port;
        config["message_qos"] = qos;
        config["spool_dir"] = spool_dir;
        const uint64_t expected = static_cast<uint64_t>(count);
        start_plugin(config);
        EXPECT_TRUE(wait_connected());
        auto started = Clock::now();
        for (int i = 0; i < count; ++i) {
            plugin->queue("p" + std::to_string(i), {"flows"});
        }
        EXPECT_TRUE(wait_until([&] { return accounted().confirmed == expected; },
            std::chrono::seconds(20)))
            << accounted().confirmed << " of " << count << " confirmed";
        return Clock::now() - started;
    }

    /* `count` QoS 1 payloads through a link of a 50 ms round trip (and a
     * spool in `spool_dir` if given) are confirmed within `round_trips`. */
    void expect_link_filled(int count, int round_trips, const std::string &spool_dir = "")
    {
        Broker &broker = start_broker(default_limits());
        FaultProxy proxy(broker.port());
        proxy.set_delay(ONE_WAY, ONE_WAY);
        Subscriber subscriber(broker.subscriber_port(), "tavrix/#");

        Clock::duration took = publish_all(broker, proxy.port(), 1, count, spool_dir);

        EXPECT_LT(took, round_trips * 2 * ONE_WAY)
            << "confirmed in " << std::chrono::duration<double>(took).count() << " s";
        EXPECT_TRUE(subscriber.wait_for(static_cast<std::size_t>(count)));
        expect_one_connection();
    }

    void expect_one_connection()
    {
        EXPECT_EQ(accounted().connections, 1u);
        EXPECT_EQ(accounted().connections_lost, 0u) << "the broker dropped the plug-in";
        expect_no_failure();
    }

    void expect_no_failure()
    {
        for (const char *failure : {": MQ read: ", ": MQ misc: ", ": MQ connect: "}) {
            EXPECT_EQ(log.count(std::string(TAG) + failure), 0u) << failure;
        }
    }
};

// A window of 20 needs count / 20 round trips: 2.5 s at the least.
TEST_F(WindowTest, QosOneFillsALinkWithARoundTripTime)
{
    expect_link_filled(1000, 25);
}

// With a spool the payloads held back wait in the spool, not in the
// host's queue: the in-flight target grows all the same. Held at its
// floor of 64, these would take 63 round trips.
TEST_F(WindowTest, QosOneThroughASpoolFillsALinkWithARoundTripTime)
{
    expect_link_filled(4000, 40, files.file("spool"));
}

TEST_F(WindowTest, QosTwoStaysWithinTheBrokersLimitOverALinkAndOnLoopback)
{
    Broker &broker = start_broker(default_limits());
    FaultProxy proxy(broker.port());
    proxy.set_delay(ONE_WAY, ONE_WAY);
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");

    publish_all(broker, proxy.port(), 2, 200);
    expect_one_connection();
    plugin.reset();
    ASSERT_TRUE(subscriber.wait_for(200));

    publish_all(broker, broker.port(), 2, 2000);
    EXPECT_TRUE(subscriber.wait_for(2200));
    expect_one_connection();
    EXPECT_EQ(broker.log_count("disconnected due to"), 0u);
    expect_no_failure();
}

// A path that becomes slower under a stream (4 ms, then 100 ms: a backup
// link): what the in-flight target settled on carries a twentieth of what
// it did, and it grows again within a few round trips, rather than holding
// QoS 1 to a few hundred messages a second until it forgets the short path.
TEST_F(WindowTest, APathThatBecomesSlowerMidStreamWidensWhatIsInFlight)
{
    Broker &broker = start_broker(default_limits());
    FaultProxy proxy(broker.port());
    proxy.set_delay(std::chrono::milliseconds(2), std::chrono::milliseconds(2));
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["port"] = proxy.port();
    start_plugin(config);
    ASSERT_TRUE(wait_connected());
    const int payloads = 200000;
    plugin->sink().SetPayloadQueueLimit(payloads);
    for (int i = 0; i < payloads; ++i) {
        plugin->queue("p", {"flows"});
    }
    uint64_t before = 0;
    wait_until([&] { before = std::max(before, accounted().unconfirmed); return false; },
        std::chrono::seconds(1), std::chrono::milliseconds(5));

    proxy.set_delay(ONE_WAY * 2, ONE_WAY * 2);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    uint64_t after = 0;
    wait_until([&] { after = std::max(after, accounted().unconfirmed); return false; },
        std::chrono::seconds(1), std::chrono::milliseconds(5));

    // Four times the target's floor of 64, a second after the step.
    EXPECT_GE(after, 256u) << "at most " << before << " in flight before the step";
    expect_one_connection();
}
