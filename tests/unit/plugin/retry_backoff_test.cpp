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
    // How long the connection lasted (ms), whether it had an acknowledgement.
    for (auto [lasted, acknowledged, starts_over] : {std::tuple{50, false, false},
             {9999, false, false}, {10000, false, true}, {50, true, true}}) {
        RetryBackoff backoff;
        backoff.Next();
        backoff.Next();
        backoff.ConnectionEnded(milliseconds(lasted), acknowledged);
        EXPECT_EQ(backoff.Next() <= RetryBackoff::FIRST, starts_over) << lasted << " ms";
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
