#include <gtest/gtest.h>

#include "progress.h"

namespace {

Snapshot sample()
{
    Snapshot s;
    s.read = 10;
    s.queued = 9;
    s.dropped = 1;
    s.waiting = 2;
    s.delivery.published = 14;
    s.delivery.acknowledged = 10;
    s.delivery.abandoned = 1;
    s.elapsed = 3.14159;
    return s;
}

TEST(ProgressTest, UnacknowledgedCountsTheWaitingAndTheAbandoned)
{
    EXPECT_EQ(unacknowledged(sample()), 4u);
}

TEST(ProgressTest, LinesCarryEveryFigure)
{
    EXPECT_EQ(format_progress(sample()),
        "tavrix-sink-run: 3.14 s: read 10, queued 9, dropped 1, waiting 2, published 14, "
        "unacknowledged 4");
    EXPECT_EQ(format_summary(sample()),
        "tavrix-sink-run: read 10, queued 9, dropped 1, published 14, unacknowledged 4, "
        "elapsed 3.14 s");
}

Snapshot clean_run()
{
    Snapshot s;
    s.read = s.queued = 5;
    s.delivery.published = 10;
    s.delivery.acknowledged = 10;
    return s;
}

TEST(ShortfallsTest, ACleanRunHasNone)
{
    EXPECT_TRUE(shortfalls(clean_run(), 2, RunEnd()).empty());
}

TEST(ShortfallsTest, EachLossIsToldOnItsOwnLine)
{
    Snapshot s = clean_run();
    s.read = 7;
    s.queued = 6;
    s.dropped = 1;
    s.delivery.published = 9;
    s.delivery.refused = 1;
    s.delivery.acknowledged = 6;
    s.delivery.abandoned = 2;
    s.delivery.losses = 1;
    EXPECT_EQ(shortfalls(s, 2, RunEnd()), (std::vector<std::string>{
        "1 payloads dropped by the full queue",
        "3 publishes never made: the plug-in drops payloads while it is not connected "
        "(connections lost: 1)",
        "1 of 9 publishes refused by libmosquitto",
        "2 publishes not acknowledged by the broker (connections lost: 1)",
    }));
}

TEST(ShortfallsTest, AStalledEndSaysItGaveUp)
{
    RunEnd stalled;
    stalled.stalled = true;
    Snapshot s = clean_run();
    s.delivery.acknowledged = 7;
    EXPECT_EQ(shortfalls(s, 2, stalled), (std::vector<std::string>{
        "3 publishes not acknowledged by the broker (gave up after 30 s without progress)"}));
    EXPECT_EQ(shortfalls(clean_run(), 2, stalled),
        (std::vector<std::string>{"the plug-in did not finish its queue (gave up after 30 s)"}));
}

TEST(ShortfallsTest, ARefusalIsNotBlamedOnTheConnection)
{
    Snapshot s = clean_run();
    s.delivery.published = 9; // the refused one's second channel was skipped
    s.delivery.refused = 1;
    s.delivery.acknowledged = 8;
    EXPECT_EQ(shortfalls(s, 2, RunEnd()), (std::vector<std::string>{
        "1 publishes never made: libmosquitto refused publishes and the plug-in skips the "
        "rest of such a payload's channels (see the \"MQ Publish: TOPIC: ...\" lines)",
        "1 of 9 publishes refused by libmosquitto",
    }));
}

TEST(ShortfallsTest, ASecondSignalAndAnUnfinishedWriteAreTold)
{
    RunEnd end;
    end.cut_short = true;
    end.unflushed = true;
    Snapshot s = clean_run();
    s.delivery.published = 8;
    s.delivery.acknowledged = 6;
    EXPECT_EQ(shortfalls(s, 2, end), (std::vector<std::string>{
        "2 publishes never made (wait cut short by a second signal)",
        "2 publishes not acknowledged by the broker (wait cut short by a second signal)",
        "the plug-in's last write did not finish (no disconnect confirmed): published "
        "payloads may not have reached the broker",
    }));
}

} // namespace
