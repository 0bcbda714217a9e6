/*
 * A broker that stops reading. What the plug-in hands libmosquitto stays
 * bounded; the rest waits in the host's own bounded queue, which holds its
 * producer back; and everything arrives once the broker reads again.
 */
#include <atomic>
#include <thread>

#include <gmock/gmock.h>

#include "plugin_test.h"

namespace {

/* Payloads the worker has taken from the host's queue so far. */
uint64_t taken(agPluginSink &sink)
{
    return sink.GetPayloadsQueued() - sink.GetPayloadQueueDepth();
}

} // namespace

TEST_F(PluginTest, StalledBrokerLeavesTheRestInTheHostsQueueAndGetsEverythingLater)
{
    constexpr std::size_t QUEUE_LIMIT = 2000;
    constexpr uint64_t PAYLOADS = 40000;
    BrokerOptions options = quiet_broker();
    // The subscriber may fall behind while the backlog arrives; the broker
    // must keep its messages all the same.
    options.extra_lines = {"max_queued_messages 0"};
    Broker &broker = start_broker(options);
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["message_qos"] = 0;
    start_plugin(config);
    agPluginSink &sink = plugin->sink();
    sink.SetPayloadQueueLimit(QUEUE_LIMIT);
    ASSERT_TRUE(wait_connected());
    const std::string filler(1000, 'x');

    broker.pause();
    std::atomic<uint64_t> fed{0};
    std::atomic<bool> stopping{false};
    // Fed as the runner feeds it: never into a full queue.
    std::thread feeder([&] {
        while (fed.load() < PAYLOADS && !stopping.load()) {
            if (sink.WaitForPayloadQueueDepth(QUEUE_LIMIT, 100)) {
                plugin->queue(std::to_string(fed.load()) + " " + filler, {"c"});
                fed.fetch_add(1);
            }
        }
    });
    // The worker stops taking once libmosquitto holds its share and the
    // sockets are full: what it has taken then stays put.
    uint64_t settled = 0;
    bool held_back = wait_until(
        [&] {
            uint64_t now = taken(sink);
            bool still = now == settled && sink.GetPayloadQueueDepth() == QUEUE_LIMIT;
            settled = now;
            return still;
        },
        std::chrono::seconds(10), std::chrono::milliseconds(500));
    uint64_t fed_while_stalled = fed.load();
    broker.resume();
    // Within the case's own time limit, so that a slow delivery is reported.
    bool delivered = subscriber.wait_for(PAYLOADS, std::chrono::seconds(30));
    stopping = true;
    feeder.join();

    ASSERT_TRUE(held_back) << "the worker kept taking payloads: " << taken(sink);
    EXPECT_LT(fed_while_stalled, PAYLOADS) << "the producer was held back";
    EXPECT_TRUE(delivered) << subscriber.messages().size() << " of " << PAYLOADS;
    EXPECT_EQ(sink.GetPayloadsDropped(), 0u);
    EXPECT_EQ(accounted().lost, 0u);
    std::cerr << "taken while stalled: " << settled << " of " << fed_while_stalled << " fed\n";
}
