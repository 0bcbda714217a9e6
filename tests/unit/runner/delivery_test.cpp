#include <gtest/gtest.h>

#include "delivery.h"

namespace {

// A sink with a queue and no worker: what it holds stays queued.
class IdleSink : public agPluginSink
{
public:
    IdleSink() : agPluginSink("idle", {}) {}
    void *Entry() override { return nullptr; }
};

TEST(DeliveryTest, RoomKeepsWhatLibmosquittoMayHoldWithinTheBound)
{
    constexpr uint64_t LIMIT = Delivery::OUTSTANDING_LIMIT;
    struct Row {
        uint64_t outstanding;
        std::size_t queued;
        std::set<std::string> channels;
        uint64_t room;
    } rows[] = {
        // The queue, the payload the worker holds and the next one.
        {0, 0, {"a"}, LIMIT - 1},
        {LIMIT - 2, 0, {"a"}, 1},
        {LIMIT - 1, 0, {"a"}, 0},
        {LIMIT - 12, 10, {"a"}, 1},
        {LIMIT - 11, 10, {"a"}, 0},
        {0, 0, {"a", "b"}, (LIMIT - 4) / 2 + 1},
        {LIMIT - 4, 0, {"a", "b"}, 1},
        {LIMIT - 3, 0, {"a", "b"}, 0},
    };
    for (const Row &row : rows) {
        SinkStatus figures;
        figures.unconfirmed = row.outstanding;
        IdleSink sink;
        for (std::size_t i = 0; i < row.queued; ++i) {
            sink.QueuePayload(std::make_shared<agPluginSinkPayload>("x", 1, row.channels));
        }
        RunEvents events;
        Delivery delivery(sink, events, row.channels, [&] { return figures; });
        uint64_t room = delivery.room();
        EXPECT_EQ(room, row.room) << row.outstanding << " outstanding, " << row.queued
                                  << " queued, " << row.channels.size() << " channels";
        // Everything let in, published, plus the one the worker holds.
        uint64_t at_most = row.outstanding + (row.queued + room + 1) * row.channels.size();
        EXPECT_TRUE(room == 0 || at_most <= LIMIT) << at_most;
    }
}

TEST(DeliveryTest, APayloadWiderThanTheBoundStillGoesAlone)
{
    std::set<std::string> wide;
    for (uint64_t i = 0; i < Delivery::OUTSTANDING_LIMIT; ++i) {
        wide.insert(std::to_string(i));
    }
    IdleSink sink;
    RunEvents events;
    EXPECT_EQ(Delivery(sink, events, wide, [] { return SinkStatus(); }).room(), 1u);
}

} // namespace
