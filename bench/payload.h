/*
 * The benchmark's payloads: newline-free text, so that mosquitto_pub -l
 * can carry them as lines. A fixed header holds the sequence number and
 * the time the payload was handed over; a position-dependent filler pads
 * it to its size, so that a truncated or spliced message is caught.
 *
 *   S<seq, 10 digits>T<timestamp ns, 19 digits>:<filler...>
 */
#ifndef TAVRIX_BENCH_PAYLOAD_H
#define TAVRIX_BENCH_PAYLOAD_H

#include <cstddef>
#include <cstdint>
#include <string>

constexpr std::size_t PAYLOAD_HEADER_SIZE = 32;

/* Renders payloads of one size into one reusable buffer. */
class PayloadStamper
{
public:
    explicit PayloadStamper(std::size_t size);

    /* Writes the header for `seq` and `stamp_ns`; returns the payload's
     * first byte (size() bytes follow, then a newline). */
    const char *Stamp(uint64_t seq, int64_t stamp_ns);

    std::size_t size() const { return size_; }

private:
    std::size_t size_;
    std::string buffer;
};

struct PayloadHeader {
    uint64_t seq;
    int64_t stamp_ns;
};

/* Checks a received payload: exact size, well-formed header, intact
 * filler. */
class PayloadChecker
{
public:
    explicit PayloadChecker(std::size_t size);

    bool Check(const void *data, std::size_t length, PayloadHeader &header) const;

private:
    std::string reference;
};

#endif
