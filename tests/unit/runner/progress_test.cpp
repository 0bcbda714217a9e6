#include <gtest/gtest.h>

#include "progress.h"

namespace {

// A run's figures: payloads read and queued (the rest dropped), and
// publishes the plug-in made, had refused, confirmed and holds.
Snapshot figures(uint64_t read, uint64_t queued, uint64_t published, uint64_t refused,
    uint64_t confirmed, uint64_t unconfirmed)
{
    Snapshot s;
    s.read = read;
    s.queued = queued;
    s.dropped = read - queued;
    s.sink.published = published;
    s.sink.refused = refused;
    s.sink.confirmed = confirmed;
    s.sink.unconfirmed = unconfirmed;
    return s;
}

TEST(ProgressTest, LinesCarryEveryFigureWithRefusalsPublishedAndLossesUnacknowledged)
{
    Snapshot s = figures(10, 9, 13, 1, 9, 3);
    s.waiting = 2;
    s.sink.lost = 1;
    s.sink.resent = 2;
    s.elapsed = 3.14159;
    EXPECT_EQ(format_progress(s),
        "tavrix-sink-run: 3.14 s: read 10, queued 9, dropped 1, waiting 2, published 14, "
        "unacknowledged 4, re-sent 2");
    EXPECT_EQ(format_summary(s),
        "tavrix-sink-run: read 10, queued 9, dropped 1, published 14, unacknowledged 4, "
        "re-sent 2, elapsed 3.14 s");
}

TEST(ShortfallsTest, ACleanRunHasNone)
{
    EXPECT_TRUE(shortfalls(figures(5, 5, 10, 0, 10, 0), 2, RunEnd()).empty());
}

TEST(ShortfallsTest, EachLossIsToldOnItsOwnLine)
{
    EXPECT_EQ(shortfalls(figures(7, 6, 8, 1, 6, 2), 2, RunEnd{false, false, 1}),
        (std::vector<std::string>{
            "1 payloads dropped by the full queue",
            "3 publishes never made (the plug-in did not take them from its queue)",
            "1 of 9 publishes refused before sending (by libmosquitto, or over the broker's "
            "maximum packet size)",
            "2 publishes lost: libmosquitto dropped them unwritten (QoS 0) or unacknowledged "
            "(QoS 1 and 2) (connections lost: 1)",
        }));
}

TEST(ShortfallsTest, HowTheEndWentExplainsWhatIsMissing)
{
    struct Row {
        Snapshot run;
        RunEnd end;
        std::vector<std::string> lines;
    } rows[] = {
        {figures(5, 5, 10, 0, 7, 3), RunEnd{true, false, 0},
            {"3 publishes lost: libmosquitto dropped them unwritten (QoS 0) or unacknowledged "
             "(QoS 1 and 2) (gave up after 45 s without progress)"}},
        {figures(5, 5, 10, 0, 7, 3), RunEnd{true, false, 0, true},
            {"3 publishes lost: libmosquitto dropped them unwritten (QoS 0) or unacknowledged "
             "(QoS 1 and 2) (gave up 45 s after the stop request)"}},
        {figures(5, 5, 10, 0, 10, 0), RunEnd{true, false, 0},
            {"the plug-in did not finish its queue (gave up after 45 s)"}},
        {figures(5, 5, 8, 0, 6, 2), RunEnd{false, true, 0},
            {"2 publishes never made (wait cut short by a second signal)",
                "2 publishes lost: libmosquitto dropped them unwritten (QoS 0) or "
                "unacknowledged (QoS 1 and 2) (wait cut short by a second signal)"}},
        // A refused channel is counted as made: the payload's other channel
        // was published.
        {figures(5, 5, 9, 1, 9, 0), RunEnd(),
            {"1 of 10 publishes refused before sending (by libmosquitto, or over the broker's "
             "maximum packet size)"}},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(shortfalls(row.run, 2, row.end), row.lines);
    }
}

TEST(ProgressTest, TheSummaryCountsBrokerRefusalsByReasonAndPossibleLosses)
{
    Snapshot s = figures(5, 5, 10, 0, 6, 0);
    s.sink.refused_by_broker = 3;
    s.sink.broker_refusals = {{"Not authorized", 2}, {"Quota exceeded", 1}};
    s.sink.lost = 1;
    s.sink.possibly_lost = 4;
    EXPECT_EQ(format_summary(s),
        "tavrix-sink-run: read 5, queued 5, dropped 0, published 10, unacknowledged 1, re-sent 0, "
        "refused by the broker 3 (Not authorized 2, Quota exceeded 1), possibly lost 4, "
        "elapsed 0.00 s");
    EXPECT_EQ(shortfalls(s, 2, RunEnd()).size(), 3u) << "each loss on its own line";
}

} // namespace

// A working spool keeps what is not delivered: kept, not lost; what its
// bound dropped is lost.
TEST(ShortfallsTest, WhatAWorkingSpoolHoldsIsNoLoss)
{
    Snapshot s = figures(5, 5, 6, 0, 4, 2);
    s.sink.payloads_taken = 5;
    s.sink.spool = {true, "/s", 3, 900, 1, 0, 7, 0, 0, "ok"};
    EXPECT_TRUE(shortfalls(s, 2, RunEnd{true, false, 0}).empty());
    s.sink.spool.dropped = 1;
    EXPECT_EQ(shortfalls(s, 2, RunEnd()), std::vector<std::string>{"1 payloads dropped from the "
        "spool to stay within its bound (--spool-max-bytes)"});
    EXPECT_NE(format_summary(s).find(", replayed from the spool 7, dropped by the spool's bound 1"),
        std::string::npos);
    s.sink.spool.state = "failed: write 0000000000000000.seg: No space left on device [28]";
    EXPECT_EQ(shortfalls(s, 2, RunEnd()).size(), 3u) << "without it, as without a spool";
}
