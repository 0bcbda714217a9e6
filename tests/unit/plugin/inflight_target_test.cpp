/*
 * The in-flight target: what the path holds, twice over, within the floor
 * and the window; doubling each round trip while the window limits.
 */
#include <gtest/gtest.h>

#include "inflight_target.h"

namespace {

using std::chrono::milliseconds;
using Clock = InflightTarget::Clock;

// A path of round trip `rtt` on which the broker takes at most `capacity`
// messages a second: each round trip confirms what was in flight, up to
// what the broker took meanwhile. Returns the target after `rounds`.
uint64_t run(InflightTarget &target, milliseconds rtt, double capacity, int rounds,
    uint64_t window)
{
    Clock::time_point now{};
    target.Reset(now);
    for (int round = 0; round < rounds; ++round) {
        uint64_t in_flight = target.Limit(window);
        double most = capacity * std::chrono::duration<double>(rtt).count();
        uint64_t confirmed = std::min<uint64_t>(in_flight, static_cast<uint64_t>(most));
        for (uint64_t i = 0; i < confirmed; ++i) {
            now += std::chrono::duration_cast<Clock::duration>(rtt) / confirmed;
            target.Confirmed(rtt, now);
        }
    }
    return target.Limit(window);
}

TEST(InflightTargetTest, AFarPathWithRoomWidensToTheWindowWithinAFewRoundTrips)
{
    InflightTarget target;
    EXPECT_EQ(run(target, milliseconds(50), 1e6, 0, 4096), InflightTarget::FLOOR);
    EXPECT_EQ(run(target, milliseconds(50), 1e6, 12, 4096), 4096u);
    EXPECT_EQ(run(target, milliseconds(50), 1e6, 8, 100), 100u) << "never beyond the window";
}

TEST(InflightTargetTest, ABrokerThatLimitsTheRateGetsWhatThePathHolds)
{
    InflightTarget target;
    // 20000 a second over 50 ms: the path holds 1000.
    uint64_t far = run(target, milliseconds(50), 20000, 40, 65535);
    EXPECT_GE(far, 1000u);
    EXPECT_LE(far, 2500u);
    // The same broker next door: nothing worth more than the floor.
    EXPECT_EQ(run(target, milliseconds(1), 20000, 200, 65535), InflightTarget::FLOOR);
}

TEST(InflightTargetTest, ANewConnectionStartsFromTheFloor)
{
    InflightTarget target;
    ASSERT_GT(run(target, milliseconds(50), 1e6, 8, 4096), InflightTarget::FLOOR);
    target.Reset();
    EXPECT_EQ(target.Limit(4096), InflightTarget::FLOOR);
}

} // namespace
