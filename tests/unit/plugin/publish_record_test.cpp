/*
 * The record of unconfirmed publishes: what a re-initialised client left
 * behind is handed over again, in its order, exactly once per client.
 */
#include "test_support.h"

#include "publish_record.h"

using ::testing::ElementsAre;

namespace {

SharedTopic shared(const std::string &topic)
{
    return std::make_shared<const std::string>(topic);
}

SpoolPayload held(const std::string &text)
{
    return SpoolPayload::FromHost(payload(text));
}

/* Resends everything unsent, numbering from `first_mid`; returns the
 * topics in the order they were handed over. */
std::vector<std::string> resend_all(PublishRecord &record, int first_mid)
{
    std::vector<std::string> topics;
    int mid = first_mid;
    record.Resend([&](const PublishRecord::Entry &entry) {
        topics.push_back(*entry.topic);
        return mid++;
    });
    return topics;
}

TEST(PublishRecordTest, ConfirmedPublishesLeaveAndTheRestIsResentInOrder)
{
    PublishRecord record;
    record.Add(held("1"), {}, shared("t/1"), 1, false, 1);
    record.Add(held("2"), {}, shared("t/2"), 1, false, 2);
    record.Add(held("3"), {}, shared("t/3"), 0, true, 3);
    record.Add(held("4"), {}, shared("t/4"), 2, false, 4);

    EXPECT_TRUE(record.Confirm(3)) << "out of order: QoS 0 written before a QoS 1 flow ends";
    EXPECT_TRUE(record.Confirm(1));
    EXPECT_FALSE(record.Confirm(1)) << "confirmed once only";
    EXPECT_FALSE(record.Confirm(9)) << "an id the record never gave out";
    EXPECT_FALSE(record.HasUnsent());

    EXPECT_EQ(record.ForgetClient(), 2u);
    EXPECT_TRUE(record.HasUnsent());
    EXPECT_FALSE(record.Confirm(2)) << "ids of the old client mean nothing now";
    EXPECT_THAT(resend_all(record, 1), ElementsAre("t/2", "t/4"));
    EXPECT_FALSE(record.HasUnsent());
    EXPECT_THAT(resend_all(record, 5), ElementsAre()) << "handed over once per client";

    EXPECT_TRUE(record.Confirm(2)) << "the new client's id for t/4";
    EXPECT_TRUE(record.Confirm(1));
    EXPECT_TRUE(record.Empty());
}

TEST(PublishRecordTest, ResendKeepsPayloadTopicAndFlags)
{
    PublishRecord record;
    SpoolPayload bytes = held("body");
    record.Add(bytes, {5, 42}, shared("t/x"), 2, true, 7);
    record.ForgetClient();

    record.Resend([&](const PublishRecord::Entry &entry) {
        EXPECT_EQ(entry.payload.owner, bytes.owner);
        EXPECT_EQ(entry.ticket.seq, 42u);
        EXPECT_EQ(entry.qos, 2);
        EXPECT_TRUE(entry.retain);
        return 1;
    });
}

TEST(PublishRecordTest, RefusedResendIsDroppedAndTheRestGoesOn)
{
    PublishRecord record;
    for (int mid = 1; mid <= 3; ++mid) {
        record.Add(held("x"), {}, shared("t/" + std::to_string(mid)), 1, false, mid);
    }
    record.ForgetClient();

    std::vector<std::string> tried;
    std::size_t sent = record.Resend([&](const PublishRecord::Entry &entry) {
        tried.push_back(*entry.topic);
        return *entry.topic == "t/2" ? PublishRecord::UNSENT : 10 + static_cast<int>(tried.size());
    });

    EXPECT_EQ(sent, 2u);
    EXPECT_THAT(tried, ElementsAre("t/1", "t/2", "t/3"));
    EXPECT_EQ(record.Size(), 2u);
}

TEST(PublishRecordTest, BytesCountWhatIsUnconfirmed)
{
    PublishRecord record;
    record.Add(held("12345"), {}, shared("t/1"), 1, false, 1);
    record.Add(held("123"), {}, shared("t/2"), 1, false, 2);
    record.Add(held("1"), {}, shared("t/3"), 1, false, 3);
    EXPECT_EQ(record.Bytes(), 9u);
    record.Confirm(2);
    EXPECT_EQ(record.Bytes(), 6u) << "confirmed, though still held behind the first";
    record.ForgetClient();
    record.Resend([](const PublishRecord::Entry &entry) {
        return *entry.topic == "t/1" ? PublishRecord::UNSENT : 7;
    });
    EXPECT_EQ(record.Bytes(), 1u) << "a refused re-send is given up";
}

TEST(PublishRecordTest, ConfirmedEntryBehindAnOpenOneIsHeldUntilTheOlderIsDone)
{
    PublishRecord record;
    record.Add(held("1"), {}, shared("t/1"), 1, false, 1);
    record.Add(held("2"), {}, shared("t/2"), 1, false, 2);
    record.Confirm(2);
    EXPECT_EQ(record.Size(), 2u) << "it still counts against the bound";

    record.ForgetClient();
    EXPECT_THAT(resend_all(record, 1), ElementsAre("t/1")) << "but is never sent again";
}

} // namespace
