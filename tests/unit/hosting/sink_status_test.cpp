#include <gtest/gtest.h>

#include <sink_status.h>

namespace {

// A sink whose status hook answers with a document of the test's own.
class ReportingSink : public agPluginSink
{
public:
    explicit ReportingSink(nlohmann::json answer_)
        : agPluginSink("mqtt", {}), answer(std::move(answer_))
    {
    }
    void *Entry() override { return nullptr; }
    void GetStatus(nlohmann::json &document) override
    {
        if (!answer.is_null()) {
            document["mqtt"] = answer;
        }
    }

private:
    nlohmann::json answer;
};

TEST(SinkStatusTest, ReadsTheFiguresUnderTheInstancesTag)
{
    ReportingSink sink(nlohmann::json::parse(R"({
        "connection": "connected", "broker": "b:1883", "connected_since": "2026-01-01T00:00:00Z",
        "connections": 2, "connections_lost": 1, "payloads_taken": 7, "messages_published": 14,
        "messages_confirmed": 12, "messages_unconfirmed": 1, "messages_resent": 3,
        "messages_lost": 1, "messages_refused": 4, "last_refusal": "MQ Publish: t: x.",
        "last_connection_error": "MQ read: lost [7]", "last_library_error": null})"));

    SinkStatus status = sink_status(sink, "mqtt");

    EXPECT_TRUE(status.reported);
    EXPECT_TRUE(status.connected);
    EXPECT_EQ(status.broker, "b:1883");
    EXPECT_EQ(status.connections, 2u);
    EXPECT_EQ(status.connections_lost, 1u);
    EXPECT_EQ(status.payloads_taken, 7u);
    EXPECT_EQ(status.published, 14u);
    EXPECT_EQ(status.confirmed, 12u);
    EXPECT_EQ(status.unconfirmed, 1u);
    EXPECT_EQ(status.resent, 3u);
    EXPECT_EQ(status.lost, 1u);
    EXPECT_EQ(status.refused, 4u);
    EXPECT_EQ(status.last_refusal, "MQ Publish: t: x.");
    EXPECT_EQ(status.last_connection_error, "MQ read: lost [7]");
    EXPECT_EQ(status.last_library_error, "");
}

TEST(SinkStatusTest, NoFiguresAndOddOnesReadAsNothing)
{
    ReportingSink silent{nlohmann::json()};
    EXPECT_FALSE(sink_status(silent, "mqtt").reported);
    EXPECT_FALSE(sink_status(silent, "other").reported);

    ReportingSink odd(nlohmann::json::parse(
        R"({"connection": "connecting", "connections": -1, "messages_published": "7"})"));
    SinkStatus status = sink_status(odd, "mqtt");
    EXPECT_TRUE(status.reported);
    EXPECT_FALSE(status.connected);
    EXPECT_EQ(status.connections, 0u);
    EXPECT_EQ(status.published, 0u);
}

} // namespace
