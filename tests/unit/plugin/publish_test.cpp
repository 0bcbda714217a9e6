/*
 * Publishing one payload: one request per channel, each to its own
 * expansion of the topic template.
 */
#include "test_support.h"

#include <mosquitto.h>

using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

class PublishTest : public PluginTest
{
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        make({}, true);
        PluginPeer(*plugin).topic = "flows/${uuid_agent}/${channel}";
        PluginPeer(*plugin).variables = {{"${uuid_agent}", "agent-uuid"}};
    }
};

TEST_F(PublishTest, EmptyChannelSetPublishesNothing)
{
    EXPECT_TRUE(plugin->mqPublish(payload("{}", {})));
    EXPECT_THAT(fake::calls(), IsEmpty());
    EXPECT_THAT(log->lines(), IsEmpty());
}

TEST_F(PublishTest, OneRequestPerChannelWithQosAndRetain)
{
    PluginPeer(*plugin).message_qos = 2;
    PluginPeer(*plugin).message_retain = true;
    auto flow = payload("{\"bytes\":42}", {"dns", "http"});

    EXPECT_TRUE(plugin->mqPublish(flow));

    EXPECT_THAT(published(),
        ElementsAre(publish_of("flows/agent-uuid/dns", 12, 2, true),
            publish_of("flows/agent-uuid/http", 12, 2, true)));
    EXPECT_THAT(log->lines(), ElementsAre("mqtt: MQ Publish: flows/agent-uuid/dns, length: 12\n",
                                  "mqtt: MQ Publish: flows/agent-uuid/http, length: 12\n"));
    EXPECT_EQ(fake::last_payload(), flow->data) << "the bytes are handed over, not copied";
}

// One channel's refusal is that publish's alone: the payload's other
// channels are published, and every refusal counted.
TEST_F(PublishTest, RefusedChannelLeavesTheOthersPublished)
{
    fake::script("mosquitto_publish", MOSQ_ERR_SUCCESS);
    fake::script("mosquitto_publish", MOSQ_ERR_NO_CONN);
    fake::script("mosquitto_publish", MOSQ_ERR_SUCCESS);

    EXPECT_FALSE(plugin->mqPublish(payload("x", {"a", "b", "c"})));

    EXPECT_THAT(published(), ElementsAre(publish_of("flows/agent-uuid/a"),
                                 publish_of("flows/agent-uuid/b"), publish_of("flows/agent-uuid/c")));
    EXPECT_THAT(log->notices(), ElementsAre("mqtt: MQ Publish: flows/agent-uuid/b: error text 4.\n"));
    EXPECT_EQ(PluginPeer(*plugin).record.Size(), 2u) << "a and c";

    fake::reset();
    EXPECT_TRUE(plugin->mqPublish(payload("y", {"d"})));
    EXPECT_THAT(published(), ElementsAre(publish_of("flows/agent-uuid/d")));
}

TEST_F(PublishTest, TemplateWithoutChannelRepeatsTheSameTopic)
{
    PluginPeer(*plugin).topic = "flows/all";
    EXPECT_TRUE(plugin->mqPublish(payload("x", {"a", "b"})));
    EXPECT_THAT(published(), ElementsAre(publish_of("flows/all"), publish_of("flows/all")));
}

TEST_F(PublishTest, HostChannelVariableWinsOverTheChannelName)
{
    PluginPeer(*plugin).variables["${channel}"] = "fixed";
    EXPECT_TRUE(plugin->mqPublish(payload("x", {"a", "b"})));
    EXPECT_THAT(published(),
        ElementsAre(publish_of("flows/agent-uuid/fixed"), publish_of("flows/agent-uuid/fixed")));
}

TEST_F(PublishTest, ChannelNamesNeverOutliveTheirRequest)
{
    plugin->mqPublish(payload("x"));
    PluginPeer(*plugin).topic = "${channel}-${uuid_agent}";
    plugin->mqPublish(payload("x", {"b"}));

    EXPECT_THAT(published(),
        ElementsAre(publish_of("flows/agent-uuid/a"), publish_of("b-agent-uuid")));
    EXPECT_EQ(PluginPeer(*plugin).variables.count("${channel}"), 0u);
}

TEST_F(PublishTest, ZeroLengthIsAnOrdinaryRequest)
{
    EXPECT_TRUE(plugin->mqPublish(payload("")));
    EXPECT_THAT(published(), ElementsAre(publish_of("flows/agent-uuid/a", 0)));
    EXPECT_THAT(log->lines(), ElementsAre("mqtt: MQ Publish: flows/agent-uuid/a, length: 0\n"));
}

TEST_F(PublishTest, LengthBeyondTheLibrarysRangeIsRefusedNotTruncated)
{
    for (uint64_t length : {uint64_t{5000000000}, uint64_t{2147483648}, uint64_t{4294967297}}) {
        fake::reset();
        log->clear();
        auto huge = payload("x", {"a", "b"});
        huge->length = length; // never read: the request is refused first

        EXPECT_FALSE(plugin->mqPublish(huge));

        EXPECT_THAT(published(), IsEmpty());
        EXPECT_THAT(log->notices(), ElementsAre("mqtt: MQ Publish: flows/agent-uuid/a: error text 9.\n",
                                        "mqtt: MQ Publish: flows/agent-uuid/b: error text 9.\n"));
    }
}

TEST_F(PublishTest, TopicHoldingNulIsRefusedNotShortened)
{
    // From the template or from a variable's value alike.
    for (auto [topic, value] : {std::pair<std::string, std::string>{std::string("rb/a\0b", 6), "x"},
             {"rb/a${nul}", std::string("\0b", 2)}}) {
        fake::reset();
        log->clear();
        PluginPeer(*plugin).topic = topic;
        PluginPeer(*plugin).variables["${nul}"] = value;

        EXPECT_FALSE(plugin->mqPublish(payload("x", {"a", "b"})));

        EXPECT_THAT(published(), IsEmpty());
        EXPECT_THAT(log->notices(), ElementsAre("mqtt: MQ Publish: rb/a: error text 3.\n",
                                        "mqtt: MQ Publish: rb/a: error text 3.\n"));
    }
}

TEST_F(PublishTest, UncheckedValuesGoToTheLibraryAsTheyAre)
{
    PluginPeer(*plugin).topic = "";
    PluginPeer(*plugin).message_qos = 7;
    fake::script("mosquitto_publish", MOSQ_ERR_INVAL);

    EXPECT_FALSE(plugin->mqPublish(payload("x")));
    EXPECT_THAT(published(), ElementsAre(publish_of("", 1, 7)));
    EXPECT_EQ(log->notices().at(0), "mqtt: MQ Publish: : error text 3.\n");
}

// The expanded topics are kept per channel; a reload may change both the
// template and the variables, and the next publish must show it.
TEST_F(PublishTest, ReloadReplacesTheTopicsKeptPerChannel)
{
    plugin = make_plugin(config_params(R"({"topic": "old/${site}/${channel}"})"));
    config.conf_vars["${site}"] = "lab";
    plugin->Reload();
    plugin->mqInit();
    fake::reset();
    plugin->mqPublish(payload("1"));
    plugin->mqPublish(payload("2", {"a", "b"}));

    files.write("mqtt.json", R"({"topic": "new/${site}/${channel}"})");
    config.conf_vars["${site}"] = "field";
    plugin->Reload();
    plugin->mqPublish(payload("3"));

    EXPECT_THAT(published(),
        ElementsAre(publish_of("old/lab/a"), publish_of("old/lab/a"), publish_of("old/lab/b"),
            publish_of("new/field/a")));
}

TEST_F(PublishTest, EndlessChannelNamesKeepTheirOwnTopics)
{
    const std::size_t channels = TopicCache::MAX_CHANNELS + 10;
    for (std::size_t i = 0; i < channels; ++i) {
        plugin->mqPublish(payload("x", {"c" + std::to_string(i)}));
    }
    plugin->mqPublish(payload("x", {"c0"}));

    auto calls = published();
    ASSERT_EQ(calls.size(), channels + 1);
    EXPECT_EQ(calls.back(), publish_of("flows/agent-uuid/c0"));
    EXPECT_EQ(calls[channels - 1], "mosquitto_publish(mid, \"flows/agent-uuid/c" +
            std::to_string(channels - 1) + "\", 1, 1, false)");
    EXPECT_LE(PluginPeer(*plugin).topics.Size(), TopicCache::MAX_CHANNELS);
}

} // namespace
