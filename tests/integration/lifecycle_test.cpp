/*
 * The connection's life against real brokers and the fault proxy: nothing
 * is lost across a restart or before the first CONNACK, a broken file or
 * a missing CA ends nothing, and no state of the connection holds the host
 * that stops the plug-in.
 */
#include <gmock/gmock.h>

#include "fault_proxy.h"
#include "plugin_test.h"
#include "tls_material.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string numbered(int i)
{
    return "p" + std::to_string(i);
}

std::set<std::string> numbered_range(int first, int end)
{
    std::set<std::string> payloads;
    for (int i = first; i < end; ++i) {
        payloads.insert(numbered(i));
    }
    return payloads;
}

bool includes(const std::set<std::string> &all, const std::set<std::string> &part)
{
    return std::includes(all.begin(), all.end(), part.begin(), part.end());
}

} // namespace

class LifecycleTest : public PluginTest
{
protected:
    void queue_numbered(int first, int end)
    {
        for (int i = first; i < end; ++i) {
            plugin->queue(numbered(i), {"flows"});
        }
    }

    /* How long the host's stop and delete of the instance take. */
    Clock::duration stop_and_delete()
    {
        auto asked = Clock::now();
        EXPECT_TRUE(plugin->stop());
        plugin.reset();
        return Clock::now() - asked;
    }

    std::string connect_line() const { return std::string(TAG) + ": MQ connect: "; }
};

class BrokerRestartTest : public LifecycleTest, public ::testing::WithParamInterface<int>
{
};

// A graceful restart, with a subscriber whose session the broker keeps:
// what was in flight when the broker stopped and what was queued while it
// was away is published once it is back. At QoS 1 and 2 every payload
// arrives; at QoS 0 a message written before the stop may be lost with the
// broker's unread input, but none that waited for it.
TEST_P(BrokerRestartTest, NothingIsLostAcrossTheRestart)
{
    const int qos = GetParam();
    BrokerOptions options = quiet_broker();
    options.persistent = true;
    options.extra_lines = {"queue_qos0_messages true"};
    Broker &broker = start_broker(options);
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#",
        PersistentSession{"restart-reader", 2});
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["message_qos"] = qos;
    start_plugin(config);
    ASSERT_TRUE(wait_connected(1));

    queue_numbered(0, 100);
    ASSERT_TRUE(subscriber.wait_for(100));
    // A broker that reads nothing more: these are written, not acknowledged
    // (at QoS 2 only as many as its in-flight window lets be handed over).
    broker.pause();
    queue_numbered(100, 200);
    ASSERT_TRUE(wait_until([&] {
        SinkStatus counts = accounted();
        return qos == 0 ? counts.published == 200 : counts.published > 100 && counts.unconfirmed > 0;
    }));
    broker.stop();
    queue_numbered(200, 300);
    ASSERT_TRUE(log.wait_for(connect_line()));
    broker.start();
    queue_numbered(300, 400);

    std::set<std::string> must_arrive = numbered_range(200, 400);
    if (qos > 0) {
        must_arrive = numbered_range(0, 400);
    }
    EXPECT_TRUE(wait_until([&] { return includes(subscriber.distinct_payloads(), must_arrive); },
        std::chrono::seconds(30)))
        << subscriber.distinct_payloads().size() << " distinct payloads arrived";
    // The figures tell the same: everything published once and confirmed,
    // the re-sent apart, one connection lost.
    ASSERT_TRUE(wait_until([&] { return accounted().unconfirmed == 0; }));
    SinkStatus figures = accounted();
    EXPECT_EQ(figures.payloads_taken, 400u);
    EXPECT_EQ(figures.published, 400u);
    EXPECT_EQ(figures.confirmed, 400u);
    EXPECT_EQ(figures.connections, 2u);
    EXPECT_EQ(figures.connections_lost, 1u);
    if (qos > 0) {
        EXPECT_GT(figures.resent, 0u);
        EXPECT_TRUE(log.wait_for(std::string(TAG) + ": published again " +
            std::to_string(figures.resent) + " messages"));
        // No bound on the duplicates the subscriber sees: the broker, too,
        // delivers again what its persistent subscriber had not acknowledged
        // when it stopped.
    } else {
        EXPECT_LE(subscriber.messages().size(), figures.confirmed);
    }
    EXPECT_EQ(plugin->sink().GetPayloadsDropped(), 0u);
    EXPECT_EQ(log.count(std::string(TAG) + ": Loading configuration: "), 1u);
}

INSTANTIATE_TEST_SUITE_P(Qos, BrokerRestartTest, ::testing::Values(0, 1, 2));

TEST_F(LifecycleTest, PayloadsQueuedBeforeTheFirstConnackAreDelivered)
{
    Broker &broker = start_broker();
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    start_plugin(config_for(broker, "tavrix/${channel}"));
    queue_numbered(0, 500);

    ASSERT_TRUE(subscriber.wait_for(500));
    EXPECT_EQ(subscriber.distinct_payloads(), numbered_range(0, 500));
}

TEST_F(LifecycleTest, BrokenFileMidStreamKeepsTheRunningConfigurationUntilRepaired)
{
    Broker &broker = start_broker();
    Subscriber subscriber(broker.subscriber_port(), "#");
    nlohmann::json config = config_for(broker, "old/${channel}");
    std::string path = write_config(config);
    start_plugin(config);
    ASSERT_TRUE(wait_connected());
    queue_numbered(0, 20);

    files.write("mqtt-sink.json", "{\"topic\": \"half-writ");
    plugin->reload();
    ASSERT_TRUE(log.wait_for(std::string(TAG) + ": configuration not reloaded"));
    queue_numbered(20, 40);

    config["topic"] = "new/${channel}";
    write_config(config);
    plugin->reload();
    ASSERT_TRUE(wait_reloaded(3));
    queue_numbered(40, 60);

    ASSERT_TRUE(subscriber.wait_for(60));
    auto messages = subscriber.messages();
    EXPECT_EQ(subscriber.distinct_payloads(), numbered_range(0, 60));
    EXPECT_EQ(messages.back().topic, "new/flows") << "the repaired file applies";
    EXPECT_EQ(messages.front().topic, "old/flows");
    EXPECT_THAT(log.lines(), ::testing::Contains(::testing::StartsWith(
                                 std::string(TAG) + ": " + path + ": JSON exception: ")));
}

TEST_F(LifecycleTest, MissingCaFileIsRetriedUntilItIsInPlace)
{
    Broker &broker = start_broker(tls_broker());
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    const std::string ca_file = files.path() + "/ca-not-yet.pem";
    config["ca_file"] = ca_file;
    start_plugin(config);
    ASSERT_TRUE(log.wait_for(std::string(TAG) + ": error initializing libmosquitto TLS: "));
    plugin->queue("waited for TLS", {"flows"});

    files.write("ca-not-yet.pem", read_file(TlsMaterial::get().ca_file()));

    ASSERT_TRUE(subscriber.wait_for(1, std::chrono::seconds(20)));
    EXPECT_EQ(subscriber.messages().front().payload, "waited for TLS");
    EXPECT_FALSE(plugin->worker_ended());
}

// The host stops and deletes an instance at once, whatever its connection
// is doing: in a connect that no SYN-ACK answers, waiting to retry, in a TLS
// handshake the broker never answers, connected.
TEST_F(LifecycleTest, StopAndDeleteReturnAtOnceInEveryConnectionState)
{
    const auto bound = std::chrono::milliseconds(250);
    Broker &broker = start_broker(tls_broker());
    FaultProxy proxy(broker.port());
    const std::string connect_queued = "sending CONNECT";

    proxy.silent(true);
    nlohmann::json silent = config_for(broker, "t");
    silent["port"] = proxy.port();
    start_plugin(silent);
    ASSERT_TRUE(log.wait_for(connect_queued));
    EXPECT_LT(stop_and_delete(), bound) << "connecting to a silent port";
    proxy.silent(false);

    nlohmann::json closed = config_for(broker, "t");
    closed["port"] = free_loopback_port();
    start_plugin(closed);
    ASSERT_TRUE(log.wait_for(connect_line()));
    EXPECT_LT(stop_and_delete(), bound) << "waiting to retry";

    proxy.black_hole(true);
    nlohmann::json stalled = silent;
    stalled["ca_file"] = TlsMaterial::get().ca_file();
    std::size_t accepted = proxy.accepted();
    start_plugin(stalled);
    ASSERT_TRUE(wait_until([&] { return proxy.accepted() > accepted; }));
    EXPECT_LT(stop_and_delete(), bound) << "in a TLS handshake nobody answers";

    nlohmann::json direct = config_for(broker, "t");
    direct["ca_file"] = TlsMaterial::get().ca_file();
    start_plugin(direct);
    ASSERT_TRUE(wait_connected());
    EXPECT_LT(stop_and_delete(), bound) << "connected";
}
