/*
 * The write interest's rule, step by step (the worker's use of it is in
 * worker_test.cpp).
 */
#include <gtest/gtest.h>

#include "write_interest.h"

namespace {

constexpr bool ATTEMPT = true;
constexpr bool ACCEPTED = false;

TEST(WriteInterestTest, AnAttemptAsksUntilItsSocketHasBeenReady)
{
    WriteInterest interest;
    interest.Attempt();
    EXPECT_TRUE(interest.Wanted(false, ATTEMPT));
    interest.Waited(false, false);
    EXPECT_TRUE(interest.Wanted(false, ATTEMPT)) << "woken, not ready";
    interest.Waited(true, false);
    EXPECT_FALSE(interest.Wanted(false, ATTEMPT));
    EXPECT_TRUE(interest.Opened());
}

TEST(WriteInterestTest, AWantLeftOnAWritableSocketIsStaleUntilTheSocketIsRead)
{
    WriteInterest interest;
    interest.Waited(false, true);
    interest.Wrote(true, true);
    EXPECT_FALSE(interest.Wanted(true, ACCEPTED));
    EXPECT_FALSE(interest.Pending(true)) << "payloads are not held back";
    EXPECT_TRUE(interest.Stale(true));
    interest.Waited(false, true);
    EXPECT_TRUE(interest.Stale(true)) << "writable again tells nothing";
    interest.Waited(true, false);
    EXPECT_TRUE(interest.Wanted(true, ACCEPTED));
}

TEST(WriteInterestTest, AWantThatFilledTheSocketOrWasWrittenIsNoneStale)
{
    WriteInterest interest;
    interest.Wrote(true, true);
    interest.Wrote(true, false);
    EXPECT_TRUE(interest.Wanted(true, ACCEPTED)) << "a packet waits for room";
    EXPECT_TRUE(interest.Pending(true));
    interest.Wrote(true, true);
    interest.Wrote(false, false);
    EXPECT_FALSE(interest.Stale(true)) << "what was handed over since got written";
    EXPECT_TRUE(interest.Wanted(true, ACCEPTED));
}

} // namespace
