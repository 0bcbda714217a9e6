#include <gtest/gtest.h>

#include <log_watch.h>

namespace {

TEST(LogWatchTest, TheLastNoticeOfTheTagAboutAFailureIsTheProblem)
{
    LogWatch watch("mqtt", false);
    struct Row {
        agLogLevel level;
        const char *line;
        const char *problem;
    } rows[] = {
        {agLogLevel::NOTICE, "mqtt: MQ connect: 127.0.0.1:1: Connection refused [14]",
            "mqtt: MQ connect: 127.0.0.1:1: Connection refused [14]"},
        {agLogLevel::DEBUG, "mqtt: on_connect: 5: The connection was refused.", nullptr},
        {agLogLevel::NOTICE, "other: MQ read: The connection was lost. [7]", nullptr},
        {agLogLevel::NOTICE, "mqtt: Tavrix MQTT Sink Plugin v1, publishing to MQTT.", nullptr},
        {agLogLevel::NOTICE, "mqtt: New MQTT context: x: Invalid argument\n",
            "mqtt: New MQTT context: x: Invalid argument"},
        {agLogLevel::NOTICE, "mqtt: Reinitialise MQTT context: Invalid arguments [3]",
            "mqtt: Reinitialise MQTT context: Invalid arguments [3]"},
        {agLogLevel::NOTICE, "mqtt: MQ misc: The connection was lost. [7]",
            "mqtt: MQ misc: The connection was lost. [7]"},
        {agLogLevel::NOTICE, "mqtt: MQ read: The connection was refused. [5]",
            "mqtt: MQ read: The connection was refused. [5]"},
    };
    std::string expected;
    for (const Row &row : rows) {
        watch.on_line(row.level, row.line);
        if (row.problem != nullptr) {
            expected = row.problem;
        }
        EXPECT_EQ(watch.last_problem(), expected) << row.line;
    }
}

TEST(LogWatchTest, OnlyNoticesCountAsRefusedPublishes)
{
    LogWatch watch("mqtt", false);
    watch.on_line(agLogLevel::DEBUG, "mqtt: MQ Publish: t/a, length: 3\n");
    watch.on_line(agLogLevel::NOTICE, "mqtt: MQ Publish: t/+: Invalid function arguments.\n");
    watch.on_line(agLogLevel::NOTICE, "other: MQ Publish: t/+: Invalid function arguments.\n");
    EXPECT_EQ(watch.refused(), 1u);
    EXPECT_EQ(watch.last_problem(), "mqtt: MQ Publish: t/+: Invalid function arguments.");
    EXPECT_TRUE(watch.lines().empty()) << "lines kept only when asked";
}

TEST(LogWatchTest, KeptLinesLoseTheirNewlineAndCanBeWaitedFor)
{
    LogWatch watch("mqtt", true);
    EXPECT_EQ(watch.on_line(agLogLevel::NOTICE, "mqtt: one\n"), "mqtt: one");
    watch.on_line(agLogLevel::DEBUG, "other: one two");
    EXPECT_EQ(watch.lines(), (std::vector<std::string>{"mqtt: one", "other: one two"}));
    EXPECT_EQ(watch.count("one"), 2u);
    EXPECT_TRUE(watch.wait_for("one", 2, std::chrono::milliseconds(0)));
    EXPECT_FALSE(watch.wait_for("three", 1, std::chrono::milliseconds(10)));
}

} // namespace
