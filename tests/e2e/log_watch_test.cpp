#include <gtest/gtest.h>

#include "log_watch.h"

namespace {

class LogWatchTest : public ::testing::Test
{
protected:
    LogWatch watch{"mqtt", [this] { ++changes; }};
    int changes = 0;

    void debug(const std::string &line) { watch.on_line(agLogLevel::DEBUG, line); }
    void notice(const std::string &line) { watch.on_line(agLogLevel::NOTICE, line); }
    void publish_qos1(int mid)
    {
        debug("mqtt: MQ Publish: t/a, length: 3");
        debug("mqtt: 16: Client u sending PUBLISH (d0, q1, r0, m" + std::to_string(mid) +
            ", 't/a', ... (3 bytes))");
    }
    void acknowledge(const std::string &packet, int mid)
    {
        debug("mqtt: 16: Client u received " + packet + " (Mid: " + std::to_string(mid) +
            ", RC:0)");
    }
};

TEST_F(LogWatchTest, ConnectedOnlyWhenTheBrokerAccepted)
{
    EXPECT_FALSE(watch.connected());
    notice("mqtt: MQ connect: 127.0.0.1:1: Connection refused [14]");
    debug("mqtt: on_connect: 5: The connection was refused.");
    EXPECT_FALSE(watch.connected());
    EXPECT_EQ(watch.last_problem(), "mqtt: on_connect: 5: The connection was refused.");
    debug("mqtt: on_connect: 0: No error.");
    EXPECT_TRUE(watch.connected());
    EXPECT_EQ(watch.connections(), 1u);
    EXPECT_GT(changes, 0);
}

TEST_F(LogWatchTest, LinesOfOtherTagsAndLookalikesAreIgnored)
{
    debug("other: on_connect: 0: No error.");
    debug("mqtt: topic on_connect: 0:");
    debug("mqtt:on_connect: 0: No error.");
    EXPECT_FALSE(watch.connected());
    debug("other: MQ Publish: t, length: 1");
    debug("mqtt: MQ Publish: weird, length: x");
    EXPECT_EQ(watch.counts().published, 0u);
    EXPECT_EQ(watch.counts().refused, 1u) << "a malformed publish line is no publish";
}

TEST_F(LogWatchTest, Qos1And2PublishesAreSettledByTheirAcknowledgements)
{
    debug("mqtt: on_connect: 0: No error.");
    publish_qos1(1);
    publish_qos1(2);
    publish_qos1(3);
    EXPECT_EQ(watch.counts().published, 3u);
    EXPECT_EQ(watch.counts().outstanding(), 3u);
    acknowledge("PUBACK", 1);
    debug("mqtt: 16: Client u received PUBREC (Mid: 2)");
    EXPECT_EQ(watch.counts().outstanding(), 2u) << "PUBREC is half of QoS 2";
    acknowledge("PUBCOMP", 2);
    // A retry is the same request, not another one.
    debug("mqtt: 16: Client u sending PUBLISH (d1, q1, r0, m3, 't/a', ... (3 bytes))");
    acknowledge("PUBACK", 3);
    EXPECT_EQ(watch.counts().acknowledged, 3u);
    EXPECT_EQ(watch.counts().outstanding(), 0u);
}

TEST_F(LogWatchTest, Qos0PublishesNeedNoAcknowledgement)
{
    debug("mqtt: on_connect: 0: No error.");
    debug("mqtt: MQ Publish: t/a, length: 3");
    debug("mqtt: 16: Client u sending PUBLISH (d0, q0, r0, m1, 't/a', ... (3 bytes))");
    EXPECT_EQ(watch.counts().unconfirmed, 1u);
    EXPECT_EQ(watch.counts().outstanding(), 0u);
}

TEST_F(LogWatchTest, RefusedPublishesAreCountedAndKept)
{
    debug("mqtt: MQ Publish: t/a, length: 3");
    notice("mqtt: MQ Publish: t/a: The client is not currently connected..");
    EXPECT_EQ(watch.counts().refused, 1u);
    EXPECT_EQ(watch.counts().outstanding(), 0u);
    EXPECT_EQ(watch.last_problem(),
        "mqtt: MQ Publish: t/a: The client is not currently connected..");
}

TEST_F(LogWatchTest, ALostConnectionAbandonsWhatWaitedForItsAcknowledgement)
{
    debug("mqtt: on_connect: 0: No error.");
    publish_qos1(1);
    publish_qos1(2);
    acknowledge("PUBACK", 1);
    notice("mqtt: MQ read: The connection was lost. [7]");
    debug("mqtt: on_disconnect: 7: The connection was lost.");
    DeliveryCounts counts = watch.counts();
    EXPECT_FALSE(watch.connected());
    EXPECT_EQ(counts.abandoned, 1u);
    EXPECT_EQ(counts.losses, 1u) << "one loss, however many lines tell of it";
    EXPECT_EQ(counts.outstanding(), 0u);
    EXPECT_EQ(watch.last_problem(), "mqtt: MQ read: The connection was lost. [7]");

    debug("mqtt: on_connect: 0: No error.");
    publish_qos1(1);
    EXPECT_EQ(watch.counts().outstanding(), 1u);
    EXPECT_EQ(watch.connections(), 2u);
}

TEST_F(LogWatchTest, KeepsLibmosquittosLastErrorLine)
{
    debug("mqtt: 8: OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed");
    debug("mqtt: 16: Client u sending CONNECT");
    EXPECT_EQ(watch.last_library_error(),
        "OpenSSL Error[0]: error:0A000086:SSL routines::certificate verify failed");
}

TEST_F(LogWatchTest, OnlyACleanCloseConfirmsTheLastWrite)
{
    debug("mqtt: on_connect: 0: No error.");
    notice("mqtt: MQ read: The connection was lost. [7]");
    debug("mqtt: on_disconnect: 7: The connection was lost.");
    EXPECT_EQ(watch.clean_disconnects(), 0u) << "a lost connection flushed nothing";
    debug("mqtt: on_connect: 0: No error.");
    debug("mqtt: on_disconnect: 0: No error.");
    EXPECT_EQ(watch.clean_disconnects(), 1u);
    EXPECT_FALSE(watch.connected());
    EXPECT_EQ(watch.last_problem(), "mqtt: MQ read: The connection was lost. [7]")
        << "a clean close is no problem";
}

} // namespace
