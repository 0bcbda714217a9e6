#include "bench.h"

#include <algorithm>
#include <cstring>

namespace {

constexpr std::size_t SEQ_AT = 1;
constexpr std::size_t SEQ_DIGITS = 10;
constexpr std::size_t STAMP_AT = SEQ_AT + SEQ_DIGITS + 1;
constexpr std::size_t STAMP_DIGITS = 19;

void write_digits(char *at, std::size_t digits, uint64_t value)
{
    for (std::size_t i = digits; i-- > 0;) {
        at[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
}

bool read_digits(const char *at, std::size_t digits, uint64_t &value)
{
    value = 0;
    for (std::size_t i = 0; i < digits; ++i) {
        if (at[i] < '0' || at[i] > '9') {
            return false;
        }
        value = value * 10 + static_cast<uint64_t>(at[i] - '0');
    }
    return true;
}

} // namespace

PayloadCodec::PayloadCodec(std::size_t size)
    : buffer(std::max(size, PAYLOAD_HEADER_SIZE), ' ')
{
    buffer[0] = 'S';
    buffer[STAMP_AT - 1] = 'T';
    buffer[PAYLOAD_HEADER_SIZE - 1] = ':';
    for (std::size_t i = PAYLOAD_HEADER_SIZE; i < buffer.size(); ++i) {
        buffer[i] = static_cast<char>('a' + i % 26);
    }
    buffer += '\n';
}

const char *PayloadCodec::stamp(uint64_t seq, int64_t stamp_ns)
{
    write_digits(&buffer[SEQ_AT], SEQ_DIGITS, seq);
    write_digits(&buffer[STAMP_AT], STAMP_DIGITS, static_cast<uint64_t>(stamp_ns));
    return buffer.data();
}

// Against the buffer's filler, which stamping leaves as it is.
bool PayloadCodec::check(const void *data, std::size_t length, PayloadHeader &header) const
{
    const char *text = static_cast<const char *>(data);
    if (length != size() || text[0] != 'S' || text[STAMP_AT - 1] != 'T' ||
        text[PAYLOAD_HEADER_SIZE - 1] != ':') {
        return false;
    }
    uint64_t stamp = 0;
    if (!read_digits(text + SEQ_AT, SEQ_DIGITS, header.seq) ||
        !read_digits(text + STAMP_AT, STAMP_DIGITS, stamp)) {
        return false;
    }
    header.stamp_ns = static_cast<int64_t>(stamp);
    return std::memcmp(text + PAYLOAD_HEADER_SIZE, buffer.data() + PAYLOAD_HEADER_SIZE,
               length - PAYLOAD_HEADER_SIZE) == 0;
}
