// The subscriber's verdict on every message rests on this codec: a
// payload it cannot tell from a damaged one would hide losses.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "bench.h"

namespace {

std::string stamped(std::size_t size, uint64_t seq, int64_t stamp)
{
    PayloadCodec stamper(size);
    return std::string(stamper.stamp(seq, stamp), stamper.size());
}

TEST(Payload, ReadsBackWhatWasStamped)
{
    PayloadCodec stamper(200);
    PayloadCodec checker(200);
    PayloadHeader header{};
    for (uint64_t seq : {0ull, 7ull, 9999999999ull}) {
        const char *data = stamper.stamp(seq, 1234567890123456789);
        ASSERT_TRUE(checker.check(data, stamper.size(), header)) << seq;
        EXPECT_EQ(header.seq, seq);
        EXPECT_EQ(header.stamp_ns, 1234567890123456789);
    }
}

TEST(Payload, IsOneLineOfItsSize)
{
    for (std::size_t size : {std::size_t{200}, std::size_t{65536}}) {
        PayloadCodec stamper(size);
        std::string line(stamper.stamp(42, 42), size + 1);
        EXPECT_EQ(std::count(line.begin(), line.end(), '\n'), 1);
        EXPECT_EQ(line.back(), '\n');
    }
    // Too small for the header: the header still fits.
    EXPECT_EQ(PayloadCodec(3).size(), PAYLOAD_HEADER_SIZE);
}

TEST(Payload, DamageIsCaught)
{
    PayloadCodec checker(200);
    PayloadHeader header{};
    const std::string good = stamped(200, 12, 34);
    ASSERT_TRUE(checker.check(good.data(), good.size(), header));

    EXPECT_FALSE(checker.check(good.data(), good.size() - 1, header)) << "truncated";
    std::string longer = good + "x";
    EXPECT_FALSE(checker.check(longer.data(), longer.size(), header)) << "too long";
    std::string filler = good;
    filler[150] = '#';
    EXPECT_FALSE(checker.check(filler.data(), filler.size(), header)) << "filler";
    std::string digits = good;
    digits[5] = 'x';
    EXPECT_FALSE(checker.check(digits.data(), digits.size(), header)) << "sequence";
    std::string marker = good;
    marker[0] = 's';
    EXPECT_FALSE(checker.check(marker.data(), marker.size(), header)) << "marker";
    // The right bytes checked against another size.
    EXPECT_FALSE(PayloadCodec(300).check(good.data(), good.size(), header));
}

TEST(Payload, FillerDependsOnPosition)
{
    // A message spliced from two others at different offsets must fail,
    // so the filler cannot be one repeated byte.
    const std::string one = stamped(200, 1, 1);
    std::string shifted = one.substr(0, PAYLOAD_HEADER_SIZE) + one.substr(PAYLOAD_HEADER_SIZE + 1) + "a";
    PayloadHeader header{};
    EXPECT_FALSE(PayloadCodec(200).check(shifted.data(), shifted.size(), header));
}

} // namespace
