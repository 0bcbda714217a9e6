/*
 * The spool's writing side: the batch, segments made, rolled, dropped by
 * the bound and removed once done, and the failure that ends writing.
 */
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "spool.h"

bool Spool::Flush()
{
    if (failed) {
        return false;
    }
    batch_time_ms = -1;
    if (batch.empty()) {
        return true;
    }
    if (!spool_write_all(active_fd, batch)) {
        int error = errno;
        // What the write left half done goes, so that the next start does
        // not report it once more as a torn record; should this fail too,
        // that start cuts it.
        int cut = ftruncate(active_fd, static_cast<off_t>(segments.back().bytes));
        static_cast<void>(cut);
        total_bytes -= batch.size();
        batch.clear();
        return Fail(dir.ErrorText("write", SegmentName(segments.size() - 1), error), error);
    }
    segments.back().bytes += batch.size();
    batch.clear();
    written_end = next_seq;
    data_dirty = true;
    TrimCache();
    return true;
}

// The newest go first: the oldest are handed out next, and what is left
// is read back from the files when its turn comes.
void Spool::TrimCache()
{
    while (cache_bytes > CACHE_BYTES && !cache.empty()) {
        cache_bytes -= cache.back().payload.length;
        cache.pop_back();
    }
}

bool Spool::MakeRoom(uint64_t size)
{
    if (active_fd != -1) {
        uint64_t filled = segments.back().bytes + batch.size();
        if (filled > SEGMENT_HEADER_BYTES && filled + size > segment_bytes && !Roll()) {
            return false;
        }
    }
    for (;;) {
        uint64_t needed = size + (active_fd == -1 ? SEGMENT_HEADER_BYTES : 0);
        if (total_bytes + needed <= max_bytes || segments.empty()) {
            break;
        }
        if (!DropOldest()) {
            return false;
        }
    }
    return active_fd != -1 || CreateSegment();
}

bool Spool::CreateSegment()
{
    std::string name = SpoolDirectory::SegmentName(next_seq);
    int fd = openat(dir.Fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd == -1) {
        int error = errno;
        return Fail(dir.ErrorText("create", name, error), error);
    }
    active_fd = fd;
    segments.push_back(Segment{next_seq, 0, false});
    spool_encode_segment_header(batch, next_seq);
    total_bytes += SEGMENT_HEADER_BYTES;
    entries_dirty = true;
    return true;
}

// Synced at the next Sync, not here: a roll comes in the middle of a pass.
bool Spool::Roll()
{
    if (!Flush()) {
        return false;
    }
    rolled_fds.push_back(active_fd);
    active_fd = -1;
    return true;
}

bool Spool::DropOldest()
{
    if (IsActive(0) && !Roll()) {
        return false;
    }
    const Segment oldest = segments.front();
    uint64_t end = SegmentEnd(0);
    if (!RemoveOldest()) {
        return false;
    }
    uint64_t unsent_from = std::max(window.End(), oldest.first_seq);
    uint64_t unsent = end > unsent_from ? end - unsent_from : 0;
    counts.dropped += window.DropBelow(end) + unsent;
    PopCachedBelow(end);
    return true;
}

bool Spool::RemoveOldest()
{
    std::string name = SegmentName(0);
    if (unlinkat(dir.Fd(), name.c_str(), 0) == -1 && errno != ENOENT) {
        int error = errno;
        return Fail(dir.ErrorText("remove", name, error), error);
    }
    if (reader_segment == segments.front().first_seq) {
        reader.Close();
        reader_segment = NO_SEGMENT;
    }
    if (cursor.segment == segments.front().first_seq) {
        cursor.segment = NO_SEGMENT;
    }
    total_bytes -= segments.front().bytes;
    segments.pop_front();
    return true;
}

// Only below the persisted mark: a crash must find every record from the
// mark on. The segment being appended to stays, done or not, rather than
// be made again by the next append.
bool Spool::RemoveDone()
{
    while (!segments.empty() && !IsActive(0) && SegmentEnd(0) <= persisted_mark) {
        if (!RemoveOldest()) {
            return false;
        }
    }
    return true;
}

// A failed spool writes no payload more, but what is done still leaves
// the disk: a spool opened anew on the directory must not hand it out
// again, and a disk that filled up gets its room back. Segments wholly
// done may go before the mark that says so is written: a start takes the
// first segment's first payload as the mark when that is the later.
void Spool::ForgetDone()
{
    if (active_fd != -1) {
        close(active_fd);
        active_fd = -1;
    }
    for (int fd : rolled_fds) {
        close(fd);
    }
    rolled_fds.clear();
    const uint64_t mark = window.Mark();
    std::string text;
    if (mark != persisted_mark && dir.WriteDoneMark(mark, text) == 0) {
        persisted_mark = mark;
    }
    while (!segments.empty() && SegmentEnd(0) <= mark && RemoveOldest()) {
    }
}

bool Spool::Fail(const std::string &text, int error)
{
    failed = true;
    error_number = error;
    failure = text;
    ++counts.write_failures;
    notices.push_back(text);
    return false;
}
