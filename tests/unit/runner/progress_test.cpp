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
    s.sink.published = 13;
    s.sink.refused = 1;
    s.sink.confirmed = 9;
    s.sink.unconfirmed = 3;
    s.sink.lost = 1;
    s.sink.resent = 2;
    s.elapsed = 3.14159;
    return s;
}

TEST(ProgressTest, LinesCarryEveryFigureWithRefusalsPublishedAndLossesUnacknowledged)
{
    EXPECT_EQ(format_progress(sample()),
        "tavrix-sink-run: 3.14 s: read 10, queued 9, dropped 1, waiting 2, published 14, "
        "unacknowledged 4, re-sent 2");
    EXPECT_EQ(format_summary(sample()),
        "tavrix-sink-run: read 10, queued 9, dropped 1, published 14, unacknowledged 4, "
        "re-sent 2, elapsed 3.14 s");
}

Snapshot clean_run()
{
    Snapshot s;
    s.read = s.queued = 5;
    s.sink.published = 10;
    s.sink.confirmed = 10;
    return s;
}

RunEnd end_with(bool stalled, bool cut_short, uint64_t losses)
{
    RunEnd end;
    end.stalled = stalled;
    end.cut_short = cut_short;
    end.losses = losses;
    return end;
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
    s.sink.published = 8;
    s.sink.refused = 1;
    s.sink.confirmed = 6;
    s.sink.unconfirmed = 2;
    EXPECT_EQ(shortfalls(s, 2, end_with(false, false, 1)), (std::vector<std::string>{
        "1 payloads dropped by the full queue",
        "3 publishes never made: libmosquitto refused publishes and the plug-in skips the "
        "rest of such a payload's channels (see the \"MQ Publish: TOPIC: ...\" lines)",
        "1 of 9 publishes refused by libmosquitto",
        "2 publishes lost: libmosquitto dropped them unwritten (QoS 0) or unacknowledged "
        "(QoS 1 and 2) (connections lost: 1)",
    }));
}

TEST(ShortfallsTest, HowTheEndWentExplainsWhatIsMissing)
{
    Snapshot unconfirmed = clean_run();
    unconfirmed.sink.confirmed = 7;
    unconfirmed.sink.unconfirmed = 3;
    Snapshot cut = clean_run();
    cut.sink.published = 8;
    cut.sink.confirmed = 6;
    cut.sink.unconfirmed = 2;
    Snapshot refused = clean_run();
    refused.sink.published = 8; // the refused one's second channel was skipped
    refused.sink.refused = 1;
    refused.sink.confirmed = 8;
    struct Row {
        Snapshot run;
        RunEnd end;
        std::vector<std::string> lines;
    } rows[] = {
        {unconfirmed, end_with(true, false, 0),
            {"3 publishes lost: libmosquitto dropped them unwritten (QoS 0) or unacknowledged "
             "(QoS 1 and 2) (gave up after 45 s without progress)"}},
        {clean_run(), end_with(true, false, 0),
            {"the plug-in did not finish its queue (gave up after 45 s)"}},
        {cut, end_with(false, true, 0),
            {"2 publishes never made (wait cut short by a second signal)",
                "2 publishes lost: libmosquitto dropped them unwritten (QoS 0) or "
                "unacknowledged (QoS 1 and 2) (wait cut short by a second signal)"}},
        {refused, RunEnd(),
            {"1 publishes never made: libmosquitto refused publishes and the plug-in skips "
             "the rest of such a payload's channels (see the \"MQ Publish: TOPIC: ...\" "
             "lines)",
                "1 of 9 publishes refused by libmosquitto"}},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(shortfalls(row.run, 2, row.end), row.lines);
    }
}

} // namespace
