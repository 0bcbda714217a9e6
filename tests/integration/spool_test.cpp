/*
 * The disk spool against real brokers: what waited through an outage and
 * a restart of the host arrives, the bound drops the oldest and says so,
 * and a spool that is torn, taken or gone never stops the sink.
 */
#include <filesystem>

#include <unistd.h>

#include <gmock/gmock.h>

#include "plugin_test.h"

namespace {

using Clock = std::chrono::steady_clock;
using ::testing::HasSubstr;
using ::testing::StartsWith;

std::string numbered(int i, std::size_t size = 0)
{
    std::string text = "p" + std::to_string(i) + " ";
    text.resize(std::max(size, text.size()), 'x');
    return text;
}

} // namespace

class SpooledSinkTest : public PluginTest
{
protected:
    /* Its port refuses connections until broker.start(). */
    Broker &broker_down()
    {
        BrokerOptions options = quiet_broker();
        options.extra_lines = {"max_queued_messages 0"};
        Broker &broker = start_broker(options);
        broker.stop();
        return broker;
    }

    nlohmann::json spool_config(const Broker &broker, const std::string &directory)
    {
        nlohmann::json config = config_for(broker, "tavrix/${channel}");
        config["spool_dir"] = directory;
        return config;
    }

    void queue_numbered(int first, int end, HostedPlugin *to = nullptr, std::size_t size = 0)
    {
        for (int i = first; i < end; ++i) {
            (to ? *to : *plugin).queue(numbered(i, size), {"flows"});
        }
    }

    bool wait_spooled(uint64_t payloads)
    {
        return wait_until([&] { return accounted().spool.payloads == payloads; },
            std::chrono::seconds(20));
    }

    const std::string spool_dir = files.file("spool");
};

// The host stops at once: what its queue still holds goes into the spool
// on the way out, within the host's bound.
TEST_F(SpooledSinkTest, WhatWaitedThroughAnOutageAndARestartArrives)
{
    constexpr int PAYLOADS = 50000;
    Broker &broker = broker_down();
    start_plugin(spool_config(broker, spool_dir));
    ASSERT_TRUE(wait_until([&] { return accounted().spool.configured; }));
    queue_numbered(0, PAYLOADS);
    auto asked = Clock::now();
    ASSERT_TRUE(plugin->stop());
    EXPECT_LT(Clock::now() - asked, std::chrono::milliseconds(1500));
    EXPECT_EQ(accounted().spool.payloads, uint64_t(PAYLOADS));
    EXPECT_EQ(accounted().published, 0u);
    plugin.reset();

    broker.start();
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    start_plugin(spool_config(broker, spool_dir));
    ASSERT_TRUE(subscriber.wait_for(PAYLOADS, std::chrono::seconds(30)));
    EXPECT_EQ(subscriber.distinct_payloads().size(), std::size_t(PAYLOADS));
    ASSERT_TRUE(wait_spooled(0));
    SinkStatus figures = accounted();
    EXPECT_EQ(figures.spool.replayed, uint64_t(PAYLOADS));
    EXPECT_EQ(figures.confirmed, uint64_t(PAYLOADS));
    EXPECT_EQ(figures.spool.state, "ok");
    EXPECT_EQ(figures.spool.dir, spool_dir);
    EXPECT_TRUE(log.wait_for("spool " + spool_dir + " holds 50000 payloads"));
}

TEST_F(SpooledSinkTest, TheBoundDropsTheOldestAndTellsIt)
{
    constexpr int PAYLOADS = 1000;
    Broker &broker = broker_down();
    nlohmann::json config = spool_config(broker, spool_dir);
    config["spool_max_bytes"] = 64 * 1024;
    start_plugin(config);
    queue_numbered(0, PAYLOADS, nullptr, 200);
    ASSERT_TRUE(wait_until([&] {
        SinkStatus now = accounted();
        return now.spool.payloads + now.spool.dropped == PAYLOADS;
    }));
    const uint64_t dropped = accounted().spool.dropped;
    EXPECT_GT(dropped, uint64_t(PAYLOADS / 2));
    EXPECT_LE(accounted().spool.bytes, 64u * 1024);

    broker.start();
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    ASSERT_TRUE(subscriber.wait_for(PAYLOADS - dropped, std::chrono::seconds(30)));
    std::set<std::string> arrived = subscriber.distinct_payloads();
    EXPECT_EQ(arrived.size(), PAYLOADS - dropped);
    EXPECT_EQ(arrived.count(numbered(PAYLOADS - 1, 200)), 1u) << "the newest stay";
    EXPECT_EQ(arrived.count(numbered(0, 200)), 0u) << "the oldest go";
    EXPECT_EQ(log.count("payloads, the oldest, to stay within spool_max_bytes"), 1u);
}

// A crash of the machine mid-write: the torn record is cut away, the rest
// arrives.
TEST_F(SpooledSinkTest, ATornRecordIsCutAwayAndTheRestArrives)
{
    Broker &broker = broker_down();
    start_plugin(spool_config(broker, spool_dir));
    queue_numbered(0, 100);
    ASSERT_TRUE(wait_spooled(100));
    plugin->stop();
    plugin.reset();
    std::string last;
    for (const auto &entry : std::filesystem::directory_iterator(spool_dir)) {
        if (entry.path().extension() == ".seg") {
            last = std::max(last, entry.path().string());
        }
    }
    ASSERT_EQ(truncate(last.c_str(), static_cast<off_t>(std::filesystem::file_size(last) - 3)), 0);

    broker.start();
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    start_plugin(spool_config(broker, spool_dir));
    ASSERT_TRUE(subscriber.wait_for(99));
    EXPECT_EQ(subscriber.distinct_payloads().count(numbered(98)), 1u);
    EXPECT_TRUE(log.wait_for("torn record at byte"));
    ASSERT_TRUE(wait_spooled(0));
    EXPECT_EQ(accounted().spool.skipped, 1u);
}

// A directory removed under the running sink: the spool fails, once, and
// what follows is published without it.
TEST_F(SpooledSinkTest, ASpoolThatVanishesFailsAndTheSinkGoesOn)
{
    Broker &broker = start_broker(quiet_broker());
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    start_plugin(spool_config(broker, spool_dir));
    queue_numbered(0, 50);
    ASSERT_TRUE(subscriber.wait_for(50));
    std::filesystem::remove_all(spool_dir);
    queue_numbered(50, 100);
    ASSERT_TRUE(subscriber.wait_for(100));
    ASSERT_TRUE(log.wait_for("failed: going on without it"));
    queue_numbered(100, 150);
    ASSERT_TRUE(subscriber.wait_for(150));
    EXPECT_EQ(subscriber.distinct_payloads().size(), 150u);
    SinkStatus figures = accounted();
    EXPECT_THAT(figures.spool.state, StartsWith("failed: "));
    EXPECT_EQ(figures.spool.write_failures, 1u);
}

// Another instance's directory, or one that cannot be made: the instance
// says so and runs without a spool.
TEST_F(SpooledSinkTest, ASpoolThatCannotBeOpenedLeavesTheSinkRunning)
{
    Broker &broker = start_broker(quiet_broker());
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    start_plugin(spool_config(broker, spool_dir));
    ASSERT_TRUE(wait_connected());
    const std::string under_a_file = files.write("plain", "") + "/spool";
    for (const std::string &taken : {spool_dir, under_a_file}) {
        nlohmann::json config = spool_config(broker, taken);
        config["client_id"] = "second";
        auto second = host("second", files.write("second.json", config.dump()));
        ASSERT_TRUE(wait_until([&] { return second->status().connected; }));
        queue_numbered(0, 1, second.get());
        ASSERT_TRUE(subscriber.wait_for(taken == spool_dir ? 1 : 2));
        EXPECT_EQ(second->status().spool.write_failures, 1u);
        EXPECT_THAT(second->status().spool.state, StartsWith("failed: "));
        second->stop();
    }
    EXPECT_EQ(log.count("second: spool " + spool_dir + ": in use by another instance: going on without"
                        " a spool"),
        1u);
    EXPECT_EQ(log.count("second: spool " + under_a_file + ": mkdir"), 1u);
    EXPECT_EQ(accounted().spool.state, "ok");
}
