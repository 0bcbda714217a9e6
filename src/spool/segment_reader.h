/*
 * Reads one segment file's records in order through a buffer of its own:
 * a few large reads rather than one per record. It never reads past the
 * limit it is given, the bytes known to be written whole, so the segment
 * being appended to can be read while it grows.
 */
#ifndef TAVRIX_SPOOL_SEGMENT_READER_H
#define TAVRIX_SPOOL_SEGMENT_READER_H

#include <cstdint>
#include <string>
#include <vector>

#include "segment_format.h"

class SegmentReader
{
public:
    enum class Step {
        RECORD,
        /* The limit is reached, on a record boundary. */
        END,
        /* The last record runs past the limit: cut short. */
        TORN,
        /* A record whose CRC or fields are wrong. */
        BAD,
        /* A read failed; errno tells why. */
        FAILED,
    };

    SegmentReader() = default;
    ~SegmentReader();
    SegmentReader(const SegmentReader &) = delete;
    SegmentReader &operator=(const SegmentReader &) = delete;

    /* Opens the file `name` of the directory `dir_fd` and checks its
     * header against `first_seq`; false with errno set (EILSEQ: not a
     * segment of this format, or not that one). Reading starts after the
     * header. */
    bool Open(int dir_fd, const std::string &name, uint64_t first_seq, uint64_t limit);
    void Close();
    bool IsOpen() const { return fd != -1; }

    void Seek(uint64_t offset);
    void SetLimit(uint64_t bytes) { limit = bytes; }
    /* Where the next record starts. */
    uint64_t Offset() const { return buffer_offset + begin; }

    /* The next record, valid until the next call; it is read again until
     * Advance moves past it. */
    Step Peek(RecordView &record);
    /* Moves past the record Peek gave. */
    void Advance(const RecordView &record) { begin += record.size; }

private:
    bool Fill(std::size_t needed);

    int fd = -1;
    uint64_t limit = 0;
    std::vector<uint8_t> buffer;
    /* The file offset of buffer[0], and the unread bytes [begin, end). */
    uint64_t buffer_offset = 0;
    std::size_t begin = 0;
    std::size_t end = 0;
};

#endif
