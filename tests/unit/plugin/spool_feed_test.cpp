/*
 * The spool beside the worker: a payload is done once every publish of it
 * is settled, and never by a publish of a spool opened before.
 */
#include <gtest/gtest.h>

#include <scratch_dir.h>

#include "instance_status.h"
#include "spool_feed.h"

namespace {

uint64_t held(SpoolFeed &feed, InstanceStatus &status)
{
    feed.Serve(status);
    return status.Figures()["spool"]["payloads"].get<uint64_t>();
}

SpoolTicket spool_one(SpoolFeed &feed, const std::set<std::string> &channels)
{
    feed.Get()->Append(std::make_shared<agPluginSinkPayload>("x", 1, channels));
    feed.Get()->Flush();
    Spool::Item item;
    EXPECT_TRUE(feed.Get()->Next(item));
    return feed.Ticket(item.seq);
}

TEST(SpoolFeedTest, APayloadIsDoneOnceEachOfItsPublishesIsSettled)
{
    ScratchDir scratch;
    const std::string tag = "feed";
    InstanceStatus status;
    SpoolFeed feed(tag);
    feed.Configure(scratch.file("a"), Spool::DEFAULT_MAX_BYTES, status);

    SpoolTicket both = spool_one(feed, {"c1", "c2"});
    feed.HandedOut(both, 2);
    feed.Settle(both);
    EXPECT_EQ(held(feed, status), 1u) << "one publish of two is still open";
    feed.Settle(both);
    EXPECT_EQ(held(feed, status), 0u);

    feed.HandedOut(spool_one(feed, {"c1", "c2"}), 0);
    EXPECT_EQ(held(feed, status), 0u) << "every channel refused before sending";

    // Moved and back: the first spool's ticket settles nothing of the
    // spool opened after it on the same directory.
    SpoolTicket old = spool_one(feed, {"c1"});
    feed.HandedOut(old, 1);
    feed.Configure(scratch.file("b"), Spool::DEFAULT_MAX_BYTES, status);
    feed.Configure(scratch.file("a"), Spool::DEFAULT_MAX_BYTES, status);
    Spool::Item again;
    ASSERT_TRUE(feed.Get()->Next(again)) << "handed out, not done: handed out again";
    EXPECT_EQ(again.seq, old.seq);
    feed.HandedOut(feed.Ticket(again.seq), 1);
    feed.Settle(old);
    EXPECT_EQ(held(feed, status), 1u);
    feed.Settle(feed.Ticket(again.seq));
    EXPECT_EQ(held(feed, status), 0u);
}

} // namespace
