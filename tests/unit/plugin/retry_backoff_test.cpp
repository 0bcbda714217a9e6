/*
 * The waits between connection attempts.
 */
#include <gmock/gmock.h>

#include "retry_backoff.h"

namespace {

using std::chrono::milliseconds;

TEST(RetryBackoffTest, DoublesUpToTheCeilingLessJitterAndStartsOverAfterAConnectionThatWorked)
{
    RetryBackoff backoff;
    for (int round = 0; round < 2; ++round) {
        for (long base : {1000, 2000, 4000, 8000, 16000, 30000, 30000}) {
            milliseconds wait = backoff.Next();
            EXPECT_LE(wait, milliseconds(base));
            EXPECT_GE(wait, milliseconds(base * 4 / 5));
        }
        backoff.ConnectionEnded(RetryBackoff::STEADY, false);
    }
}

// A broker that accepts and drops at once must not be tried every second.
TEST(RetryBackoffTest, OnlyAnAcknowledgementOrASteadyConnectionStartsItOver)
{
    struct Row {
        std::chrono::steady_clock::duration lasted;
        bool acknowledged;
        bool starts_over;
    };
    for (Row row : {Row{milliseconds(50), false, false},
             Row{RetryBackoff::STEADY - milliseconds(1), false, false},
             Row{RetryBackoff::STEADY, false, true}, Row{milliseconds(50), true, true}}) {
        RetryBackoff backoff;
        backoff.Next();
        backoff.Next();
        backoff.ConnectionEnded(row.lasted, row.acknowledged);
        EXPECT_EQ(backoff.Next() <= RetryBackoff::FIRST, row.starts_over)
            << std::chrono::duration<double>(row.lasted).count() << " s, acknowledged "
            << row.acknowledged;
    }
}

TEST(RetryBackoffTest, JitterSpreadsTheWaits)
{
    std::set<milliseconds::rep> seen;
    for (int instance = 0; instance < 20; ++instance) {
        RetryBackoff backoff;
        seen.insert(backoff.Next().count());
    }
    EXPECT_GT(seen.size(), 5u) << "gateways restarted together should not retry together";
}

} // namespace
