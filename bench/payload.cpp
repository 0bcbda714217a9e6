#include "bench.h"

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

std::string render_template(std::size_t size)
{
    if (size < PAYLOAD_HEADER_SIZE) {
        size = PAYLOAD_HEADER_SIZE;
    }
    std::string text(size, ' ');
    text[0] = 'S';
    text[STAMP_AT - 1] = 'T';
    text[PAYLOAD_HEADER_SIZE - 1] = ':';
    for (std::size_t i = PAYLOAD_HEADER_SIZE; i < size; ++i) {
        text[i] = static_cast<char>('a' + i % 26);
    }
    return text;
}

} // namespace

PayloadStamper::PayloadStamper(std::size_t size)
    : size_(size < PAYLOAD_HEADER_SIZE ? PAYLOAD_HEADER_SIZE : size),
      buffer(render_template(size) + '\n')
{
}

const char *PayloadStamper::stamp(uint64_t seq, int64_t stamp_ns)
{
    write_digits(&buffer[SEQ_AT], SEQ_DIGITS, seq);
    write_digits(&buffer[STAMP_AT], STAMP_DIGITS, static_cast<uint64_t>(stamp_ns));
    return buffer.data();
}

PayloadChecker::PayloadChecker(std::size_t size) : reference(render_template(size)) {}

bool PayloadChecker::check(const void *data, std::size_t length, PayloadHeader &header) const
{
    const char *text = static_cast<const char *>(data);
    if (length != reference.size() || text[0] != 'S' || text[STAMP_AT - 1] != 'T' ||
        text[PAYLOAD_HEADER_SIZE - 1] != ':') {
        return false;
    }
    uint64_t stamp = 0;
    if (!read_digits(text + SEQ_AT, SEQ_DIGITS, header.seq) ||
        !read_digits(text + STAMP_AT, STAMP_DIGITS, stamp)) {
        return false;
    }
    header.stamp_ns = static_cast<int64_t>(stamp);
    return std::memcmp(text + PAYLOAD_HEADER_SIZE, reference.data() + PAYLOAD_HEADER_SIZE,
               length - PAYLOAD_HEADER_SIZE) == 0;
}
