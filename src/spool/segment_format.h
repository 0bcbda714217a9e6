/*
 * The spool's segment files: a header, then records appended one after
 * the other, each under a CRC-32 of its own.
 *
 * Segment header (16 bytes):
 *   magic "TVXSPL01" (8 bytes; the last two digits are the format's
 *   version), the sequence number of the segment's first record (u64).
 * Record (28 bytes and more; integers little-endian):
 *   crc     u32  CRC-32 (zlib's) of every byte of the record after it
 *   length  u32  bytes of the record after this field
 *   seq     u64  sequence number, one more than the record before
 *   time    i64  when it was appended, milliseconds since the Unix epoch
 *   count   u32  channels, then each channel as u32 length and bytes
 *   payload      the rest of the record
 *
 * Done mark (the file "done", 20 bytes):
 *   magic "TVXDONE1", the lowest sequence number not yet done (u64),
 *   CRC-32 of the 16 bytes before it (u32).
 *
 * A record is written whole by one write() of its batch, so only a crash
 * of the machine, not of the process, can leave one torn; its CRC then
 * tells it from a good one.
 */
#ifndef TAVRIX_SPOOL_SEGMENT_FORMAT_H
#define TAVRIX_SPOOL_SEGMENT_FORMAT_H

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>

constexpr char SEGMENT_MAGIC[8] = {'T', 'V', 'X', 'S', 'P', 'L', '0', '1'};
constexpr std::size_t SEGMENT_HEADER_BYTES = 16;
/* The crc and length fields. */
constexpr std::size_t RECORD_PREFIX_BYTES = 8;
/* A record without channels or payload. */
constexpr std::size_t RECORD_FIXED_BYTES = 28;
/* What the length field can say. */
constexpr uint64_t RECORD_MAX_BYTES = RECORD_PREFIX_BYTES + UINT32_MAX;

/* A record as it lies in a buffer: valid while the buffer is. */
struct RecordView {
    uint64_t seq = 0;
    int64_t time_ms = 0;
    /* Bytes of the whole record. */
    std::size_t size = 0;
    const uint8_t *payload = nullptr;
    std::size_t payload_length = 0;
    /* The channel block after the count. */
    const uint8_t *channels = nullptr;
    uint32_t channel_count = 0;
};

enum class RecordCheck {
    OK,
    /* The bytes end before the record does; `needed` says how many it takes. */
    SHORT,
    /* A wrong CRC, or fields that do not fit the length. */
    BAD,
};

/* Bytes the record of a payload takes. */
uint64_t spool_record_size(uint64_t payload_length, const std::set<std::string> &channels);

/* Appends the record to `out`. */
void spool_encode_record(std::string &out, uint64_t seq, int64_t time_ms, const uint8_t *payload,
    uint64_t payload_length, const std::set<std::string> &channels);

/* Reads the record at the start of `bytes`; on SHORT, `needed` is the
 * number of bytes to have before trying again. */
RecordCheck spool_decode_record(
    const uint8_t *bytes, std::size_t available, RecordView &record, std::size_t &needed);

/* The channels of a decoded record. */
std::set<std::string> spool_record_channels(const RecordView &record);

void spool_encode_segment_header(std::string &out, uint64_t first_seq);
/* Whether `bytes` (SEGMENT_HEADER_BYTES of them) is the header of a
 * segment of this format starting at `first_seq`. */
bool spool_check_segment_header(const uint8_t *bytes, uint64_t first_seq);

constexpr std::size_t DONE_MARK_BYTES = 20;

void spool_encode_done_mark(std::string &out, uint64_t seq);
/* False when `bytes` is not a whole, intact mark. */
bool spool_decode_done_mark(const uint8_t *bytes, std::size_t available, uint64_t &seq);

#endif
