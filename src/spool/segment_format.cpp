#include "segment_format.h"

#include <cstring>

#include <zlib.h>

namespace {

// Byte by byte: the files must read alike whatever the machine's byte
// order, and compilers turn these into single moves.
void put_u32(uint8_t *at, uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

void put_u64(uint8_t *at, uint64_t value)
{
    for (int i = 0; i < 8; ++i) {
        at[i] = static_cast<uint8_t>(value >> (8 * i));
    }
}

uint32_t get_u32(const uint8_t *at)
{
    uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
        value |= static_cast<uint32_t>(at[i]) << (8 * i);
    }
    return value;
}

uint64_t get_u64(const uint8_t *at)
{
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) {
        value |= static_cast<uint64_t>(at[i]) << (8 * i);
    }
    return value;
}

constexpr char DONE_MAGIC[8] = {'T', 'V', 'X', 'D', 'O', 'N', 'E', '1'};

uint32_t crc_of(const uint8_t *bytes, std::size_t size)
{
    return static_cast<uint32_t>(crc32_z(crc32_z(0, nullptr, 0), bytes, size));
}

uint32_t record_crc(const uint8_t *record, std::size_t size)
{
    return crc_of(record + 4, size - 4);
}

// Walks the channel block; false when it does not fit in `limit` bytes.
bool channel_block_fits(const uint8_t *block, uint32_t count, std::size_t limit, std::size_t &used)
{
    used = 0;
    for (uint32_t i = 0; i < count; ++i) {
        if (limit - used < 4) {
            return false;
        }
        uint32_t length = get_u32(block + used);
        used += 4;
        if (limit - used < length) {
            return false;
        }
        used += length;
    }
    return true;
}

} // namespace

uint64_t spool_record_size(uint64_t payload_length, const std::set<std::string> &channels)
{
    uint64_t size = RECORD_FIXED_BYTES + payload_length;
    for (const std::string &channel : channels) {
        size += 4 + channel.size();
    }
    return size;
}

void spool_encode_record(std::string &out, uint64_t seq, int64_t time_ms, const uint8_t *payload,
    uint64_t payload_length, const std::set<std::string> &channels)
{
    std::size_t size = spool_record_size(payload_length, channels);
    std::size_t start = out.size();
    out.resize(start + size);
    uint8_t *record = reinterpret_cast<uint8_t *>(&out[start]);
    put_u32(record + 4, static_cast<uint32_t>(size - RECORD_PREFIX_BYTES));
    put_u64(record + 8, seq);
    put_u64(record + 16, static_cast<uint64_t>(time_ms));
    put_u32(record + 24, static_cast<uint32_t>(channels.size()));
    uint8_t *at = record + RECORD_FIXED_BYTES;
    for (const std::string &channel : channels) {
        put_u32(at, static_cast<uint32_t>(channel.size()));
        std::memcpy(at + 4, channel.data(), channel.size());
        at += 4 + channel.size();
    }
    if (payload_length > 0) {
        std::memcpy(at, payload, payload_length);
    }
    put_u32(record, record_crc(record, size));
}

RecordCheck spool_decode_record(
    const uint8_t *bytes, std::size_t available, RecordView &record, std::size_t &needed)
{
    if (available < RECORD_PREFIX_BYTES) {
        needed = RECORD_FIXED_BYTES;
        return RecordCheck::SHORT;
    }
    uint64_t size = RECORD_PREFIX_BYTES + uint64_t{get_u32(bytes + 4)};
    if (size < RECORD_FIXED_BYTES) {
        return RecordCheck::BAD;
    }
    if (available < size) {
        needed = static_cast<std::size_t>(size);
        return RecordCheck::SHORT;
    }
    if (get_u32(bytes) != record_crc(bytes, size)) {
        return RecordCheck::BAD;
    }
    std::size_t channel_bytes = 0;
    uint32_t count = get_u32(bytes + 24);
    if (!channel_block_fits(bytes + RECORD_FIXED_BYTES, count, size - RECORD_FIXED_BYTES,
            channel_bytes)) {
        return RecordCheck::BAD;
    }
    record.seq = get_u64(bytes + 8);
    record.time_ms = static_cast<int64_t>(get_u64(bytes + 16));
    record.size = size;
    record.channel_count = count;
    record.channels = bytes + RECORD_FIXED_BYTES;
    record.payload = record.channels + channel_bytes;
    record.payload_length = size - RECORD_FIXED_BYTES - channel_bytes;
    return RecordCheck::OK;
}

std::set<std::string> spool_record_channels(const RecordView &record)
{
    std::set<std::string> channels;
    const uint8_t *at = record.channels;
    for (uint32_t i = 0; i < record.channel_count; ++i) {
        uint32_t length = get_u32(at);
        channels.emplace_hint(channels.end(), reinterpret_cast<const char *>(at + 4), length);
        at += 4 + length;
    }
    return channels;
}

void spool_encode_segment_header(std::string &out, uint64_t first_seq)
{
    uint8_t header[SEGMENT_HEADER_BYTES];
    std::memcpy(header, SEGMENT_MAGIC, sizeof SEGMENT_MAGIC);
    put_u64(header + sizeof SEGMENT_MAGIC, first_seq);
    out.append(reinterpret_cast<const char *>(header), sizeof header);
}

bool spool_check_segment_header(const uint8_t *bytes, uint64_t first_seq)
{
    return std::memcmp(bytes, SEGMENT_MAGIC, sizeof SEGMENT_MAGIC) == 0 &&
        get_u64(bytes + sizeof SEGMENT_MAGIC) == first_seq;
}

void spool_encode_done_mark(std::string &out, uint64_t seq)
{
    uint8_t mark[DONE_MARK_BYTES];
    std::memcpy(mark, DONE_MAGIC, sizeof DONE_MAGIC);
    put_u64(mark + sizeof DONE_MAGIC, seq);
    put_u32(mark + 16, crc_of(mark, 16));
    out.append(reinterpret_cast<const char *>(mark), sizeof mark);
}

bool spool_decode_done_mark(const uint8_t *bytes, std::size_t available, uint64_t &seq)
{
    if (available != DONE_MARK_BYTES || std::memcmp(bytes, DONE_MAGIC, sizeof DONE_MAGIC) != 0 ||
        get_u32(bytes + 16) != crc_of(bytes, 16)) {
        return false;
    }
    seq = get_u64(bytes + sizeof DONE_MAGIC);
    return true;
}
