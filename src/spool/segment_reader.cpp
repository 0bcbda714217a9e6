#include "segment_reader.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Large enough that a read serves a thousand small records, small enough
// to stay in the cache while they are decoded.
constexpr std::size_t READ_BYTES = 256 << 10;

} // namespace

SegmentReader::~SegmentReader()
{
    Close();
}

bool SegmentReader::Open(int dir_fd, const std::string &name, uint64_t first_seq, uint64_t bytes)
{
    Close();
    fd = openat(dir_fd, name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1) {
        return false;
    }
    uint8_t header[SEGMENT_HEADER_BYTES];
    ssize_t got = pread(fd, header, sizeof header, 0);
    if (got != static_cast<ssize_t>(sizeof header) || !spool_check_segment_header(header, first_seq)) {
        int error = got == -1 ? errno : EILSEQ;
        Close();
        errno = error;
        return false;
    }
    limit = bytes;
    Seek(SEGMENT_HEADER_BYTES);
    return true;
}

void SegmentReader::Close()
{
    if (fd != -1) {
        close(fd);
        fd = -1;
    }
    begin = end = 0;
}

void SegmentReader::Seek(uint64_t offset)
{
    if (offset >= buffer_offset && offset <= buffer_offset + end) {
        begin = static_cast<std::size_t>(offset - buffer_offset);
        return;
    }
    buffer_offset = offset;
    begin = end = 0;
}

SegmentReader::Step SegmentReader::Peek(RecordView &record)
{
    uint64_t at = Offset();
    if (at >= limit) {
        return Step::END;
    }
    for (;;) {
        std::size_t needed = 0;
        switch (spool_decode_record(buffer.data() + begin, end - begin, record, needed)) {
        case RecordCheck::OK:
            // A record that ends past the limit is not written whole yet,
            // or was cut short.
            return at + record.size <= limit ? Step::RECORD : Step::TORN;
        case RecordCheck::BAD:
            return Step::BAD;
        case RecordCheck::SHORT:
            break;
        }
        // Checked before anything is allocated for it: a length field
        // gone wrong must not ask for gigabytes.
        if (needed > limit - at) {
            return Step::TORN;
        }
        if (!Fill(needed)) {
            return errno == 0 ? Step::TORN : Step::FAILED;
        }
    }
}

// Keeps the unread bytes, moved to the front, and reads until `needed`
// of them are there; false with errno 0 when the file ends first.
bool SegmentReader::Fill(std::size_t needed)
{
    std::size_t unread = end - begin;
    if (begin > 0) {
        std::memmove(buffer.data(), buffer.data() + begin, unread);
        buffer_offset += begin;
        begin = 0;
        end = unread;
    }
    uint64_t left = limit - buffer_offset - unread;
    std::size_t want = static_cast<std::size_t>(
        std::min<uint64_t>(std::max(needed, READ_BYTES), unread + left));
    if (buffer.size() < want) {
        buffer.resize(want);
    }
    while (end < needed) {
        ssize_t got = pread(fd, buffer.data() + end, want - end, static_cast<off_t>(buffer_offset + end));
        if (got == -1 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            if (got == 0) {
                errno = 0;
            }
            return false;
        }
        end += static_cast<std::size_t>(got);
    }
    return true;
}
