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

} // namespace
