/*
 * Payloads through the hosted plug-in to a real broker and subscriber:
 * bytes, topics, QoS, retain, and the session the broker sees.
 */
#include <sstream>

#include <gmock/gmock.h>

#include "plugin_test.h"

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::UnorderedElementsAreArray;

namespace {

// Every byte value, NULs at the start, inside and at the end: nothing may
// treat the payload as a C string.
std::string binary_payload(int seed, std::size_t length = 513)
{
    std::string bytes;
    for (std::size_t i = 0; i < length; ++i) {
        bytes.push_back(static_cast<char>((i * 7 + static_cast<std::size_t>(seed)) & 0xff));
    }
    bytes.front() = '\0';
    bytes.back() = '\0';
    return bytes;
}

/* The broker's lines that contain `text`. */
std::vector<std::string> log_lines_with(const std::string &log, const std::string &text)
{
    std::vector<std::string> found;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(text) != std::string::npos) {
            found.push_back(line);
        }
    }
    return found;
}

std::string received_from(const char *client, int qos, bool retain)
{
    return std::string("Received PUBLISH from ") + client + " (d0, q" + std::to_string(qos) +
        ", r" + (retain ? "1" : "0");
}

} // namespace

TEST_F(PluginTest, BinaryPayloadsArriveByteForByteOncePerChannelWithTheConfiguredQos)
{
    Broker &broker = start_broker();
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json config =
        config_for(broker, std::string("tavrix/${uuid_agent}/") + PROBE_VARIABLE + "/${channel}");
    config["message_qos"] = 0;
    start_plugin(config);
    ASSERT_TRUE(wait_connected());

    const std::string topic = std::string("tavrix/") + AGENT_UUID + "/" + PROBE_NAME + "/";
    std::vector<ReceivedMessage> expected;
    for (int qos : {0, 1, 2}) {
        if (qos > 0) {
            config["message_qos"] = qos;
            write_config(config);
            plugin->reload();
            ASSERT_TRUE(wait_reloaded(static_cast<std::size_t>(qos) + 1));
        }
        std::string bytes = binary_payload(qos);
        plugin->queue(bytes, {"flows", "stats"});
        expected.push_back({topic + "flows", bytes, qos, false});
        expected.push_back({topic + "stats", bytes, qos, false});
        // The next reload must not overtake this payload.
        ASSERT_TRUE(subscriber.wait_for(expected.size())) << "QoS " << qos;
    }
    plugin->queue("", {"empty"});
    expected.push_back({topic + "empty", "", 2, false});
    // Sent last at QoS 2, after everything else: once it is in, any
    // duplicate of the earlier messages would be in too.
    plugin->queue("end", {"end"});
    expected.push_back({topic + "end", "end", 2, false});
    ASSERT_TRUE(subscriber.wait_for_topic(topic + "end"));

    EXPECT_THAT(subscriber.messages(), UnorderedElementsAreArray(expected));
    EXPECT_EQ(broker.log_count(received_from(AGENT_UUID, 0, false)), 2u);
    EXPECT_EQ(broker.log_count(received_from(AGENT_UUID, 1, false)), 2u);
    EXPECT_EQ(broker.log_count(received_from(AGENT_UUID, 2, false)), 4u);
}

TEST_F(PluginTest, RetainedPayloadReachesASubscriberThatArrivesLater)
{
    Broker &broker = start_broker();
    Subscriber live(broker.subscriber_port(), "tavrix/#");
    nlohmann::json config = config_for(broker, "tavrix/${uuid_site}/${channel}");
    config["message_retain"] = true;
    start_plugin(config);
    ASSERT_TRUE(wait_connected());

    std::string bytes = binary_payload(42, 64);
    plugin->queue(bytes, {"status"});
    // Once the live subscriber has it, the broker has stored it.
    ASSERT_TRUE(live.wait_for(1));

    Subscriber late(broker.subscriber_port(), "tavrix/+/status");
    ASSERT_TRUE(late.wait_for(1));
    const std::string topic = std::string("tavrix/") + SITE_UUID + "/status";
    EXPECT_EQ(late.messages().front(), (ReceivedMessage{topic, bytes, 1, true}));
    EXPECT_EQ(broker.log_count(received_from(AGENT_UUID, 1, true)), 1u);
}

TEST_F(PluginTest, BrokerSeesTheAgentUuidAsClientIdWithCleanSessionAndKeepAlive15)
{
    Broker &broker = start_broker();
    start_plugin(config_for(broker, "tavrix/${channel}"));
    ASSERT_TRUE(wait_connected());

    // "... as <client id> (p<protocol>, c<clean session>, k<keep-alive>)."
    auto sessions = log_lines_with(broker.log(), std::string(" as ") + AGENT_UUID + " (p");
    ASSERT_EQ(sessions.size(), 1u) << broker.log();
    EXPECT_THAT(sessions.front(), HasSubstr("New client connected from 127.0.0.1:"));
    EXPECT_THAT(sessions.front(), EndsWith(", c1, k15)."));
}
