/*
 * The in-flight target: it grows while it holds payloads back and the rate
 * grows with it, settles on the smallest target that made nearly the best
 * rate, and grows again when a held target carries far less than it did.
 */
#include <gtest/gtest.h>

#include <algorithm>

#include "inflight_target.h"

namespace {

using std::chrono::milliseconds;
using Clock = InflightTarget::Clock;

// A path of round trip `rtt` to a broker that takes at most `capacity`
// messages a second, under a worker that always has payloads waiting:
// each round trip confirms what was in flight, up to what the broker took.
class Path
{
public:
    Path(milliseconds rtt_, double capacity_) : rtt(rtt_), capacity(capacity_) {}

    /* Runs `rounds` round trips; returns the target at their end. */
    uint64_t run(InflightTarget &target, int rounds, uint64_t window = 4096)
    {
        for (int round = 0; round < rounds; ++round) {
            uint64_t in_flight = target.Limit(window);
            double most = capacity * std::chrono::duration<double>(rtt).count();
            uint64_t confirmed = std::max<uint64_t>(1, std::min<uint64_t>(in_flight,
                static_cast<uint64_t>(most)));
            // Held back whenever the broker would have taken more.
            if (static_cast<double>(in_flight) < most) {
                target.Starved();
            }
            for (uint64_t i = 0; i < confirmed; ++i) {
                now += std::chrono::duration_cast<Clock::duration>(rtt) / confirmed;
                target.Confirmed(rtt, now);
            }
        }
        return target.Limit(window);
    }

    milliseconds rtt;
    double capacity;
    Clock::time_point now{std::chrono::seconds(1)};
};

TEST(InflightTargetTest, AFarPathWithRoomGrowsToTheWindowWithinAFewRoundTrips)
{
    InflightTarget target;
    Path far(milliseconds(50), 1e6);
    EXPECT_LE(far.run(target, 1), 2 * InflightTarget::FLOOR) << "from the floor";
    EXPECT_EQ(far.run(target, 8), 4096u) << "doubling each round trip";
    EXPECT_EQ(far.run(target, 8, 100), 100u) << "never beyond the window";
}

TEST(InflightTargetTest, ABrokerThatSetsTheRateGetsTheSmallestTargetThatCarriesIt)
{
    // 20000 a second over 50 ms: the path holds 1000.
    InflightTarget far_target;
    uint64_t far = Path(milliseconds(50), 20000).run(far_target, 40);
    EXPECT_GE(far, 800u);
    EXPECT_LE(far, 2048u);
    // The same broker next door: nothing a wider target would carry more of.
    InflightTarget near_target;
    EXPECT_EQ(Path(milliseconds(1), 20000).run(near_target, 400), InflightTarget::FLOOR);
}

TEST(InflightTargetTest, NothingHeldBackNothingGrown)
{
    InflightTarget target;
    Clock::time_point now{std::chrono::seconds(1)};
    for (int i = 0; i < 1000; ++i) {
        now += milliseconds(1);
        target.Confirmed(milliseconds(50), now);
    }
    EXPECT_EQ(target.Limit(4096), InflightTarget::FLOOR);
}

// A path whose round trip steps from 5 to 100 ms under a held target: it
// carries a twentieth of what it did, and grows again within a few round
// trips to what the new path needs.
TEST(InflightTargetTest, APathThatBecameSlowerIsFollowedWithinAFewRoundTrips)
{
    InflightTarget target;
    Path path(milliseconds(5), 60000);
    uint64_t near = path.run(target, 200);
    ASSERT_LE(near, 1024u);
    path.rtt = milliseconds(100);
    path.run(target, 8);
    EXPECT_EQ(target.Limit(4096), 4096u) << "60000 a second over 100 ms needs 6000";
}

TEST(InflightTargetTest, ANewConnectionStartsFromTheFloor)
{
    InflightTarget target;
    ASSERT_GT(Path(milliseconds(50), 1e6).run(target, 8), InflightTarget::FLOOR);
    target.Reset();
    EXPECT_EQ(target.Limit(4096), InflightTarget::FLOOR);
}

} // namespace
