/*
 * Opening a spool: the segments found, the done mark read, and the last
 * segment, the only one a crash can have left half written, read through
 * and cut after its last whole record. The other segments are not read
 * until their turn comes, so a full spool opens as fast as an empty one.
 */
#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

#include "spool.h"

bool Spool::Recover(std::string &error)
{
    std::vector<uint64_t> firsts;
    if (!dir.ListSegments(firsts, error)) {
        return false;
    }
    for (uint64_t first : firsts) {
        uint64_t bytes = 0;
        if (!dir.SegmentBytes(first, bytes)) {
            int stat_error = errno;
            error = dir.ErrorText("stat", SpoolDirectory::SegmentName(first), stat_error);
            return false;
        }
        segments.push_back(Segment{first, bytes, false});
        total_bytes += bytes;
    }
    uint64_t mark = 0;
    if (dir.ReadDoneMark(mark) == SpoolDirectory::Mark::DAMAGED) {
        // At least once: without a mark, everything is handed out again.
        mark = 0;
        notices.push_back("spool " + dir.Path() +
            ": done mark unreadable: everything spooled is handed out again");
    }
    persisted_mark = mark;
    next_seq = mark;
    if (!segments.empty() && !RecoverTail(error)) {
        return false;
    }
    written_end = start_seq = next_seq;
    uint64_t first_held = segments.empty() ? next_seq : std::max(mark, segments.front().first_seq);
    window.Reset(std::min(first_held, next_seq));
    last_sync = std::chrono::steady_clock::now();
    return true;
}

// Sets next_seq past the last whole record; a segment left without one
// goes, so that the next segment made may take its name.
bool Spool::RecoverTail(std::string &error)
{
    Segment &last = segments.back();
    const std::string name = SpoolDirectory::SegmentName(last.first_seq);
    SegmentReader tail;
    uint64_t expected = last.first_seq;
    uint64_t good_end = 0;
    if (!tail.Open(dir.Fd(), name, last.first_seq, last.bytes)) {
        if (errno != EILSEQ) {
            error = dir.ErrorText("open", name, errno);
            return false;
        }
        if (!CutTail(last, 0, "no segment header", error)) {
            return false;
        }
    } else {
        RecordView record;
        SegmentReader::Step step;
        while ((step = tail.Peek(record)) == SegmentReader::Step::RECORD &&
            record.seq == expected) {
            tail.Advance(record);
            ++expected;
        }
        good_end = tail.Offset();
        if (step == SegmentReader::Step::FAILED) {
            error = dir.ErrorText("read", name, errno);
            return false;
        }
        if (step != SegmentReader::Step::END &&
            !CutTail(last, good_end,
                step == SegmentReader::Step::TORN ? "torn record" : "bad record", error)) {
            return false;
        }
    }
    next_seq = std::max(next_seq, expected);
    if (expected == last.first_seq) {
        if (unlinkat(dir.Fd(), name.c_str(), 0) == -1 && errno != ENOENT) {
            error = dir.ErrorText("remove", name, errno);
            return false;
        }
        total_bytes -= last.bytes;
        segments.pop_back();
    }
    return true;
}

// A torn record is what a crash of the machine mid-write leaves; a bad one
// at the end is treated alike, since nothing after it could be trusted.
bool Spool::CutTail(Segment &last, uint64_t good_end, const std::string &why, std::string &error)
{
    const std::string name = SpoolDirectory::SegmentName(last.first_seq);
    uint64_t cut = last.bytes - good_end;
    int fd = openat(dir.Fd(), name.c_str(), O_WRONLY | O_CLOEXEC);
    if (fd == -1 || ftruncate(fd, static_cast<off_t>(good_end)) == -1) {
        error = dir.ErrorText("truncate", name, errno);
        if (fd != -1) {
            close(fd);
        }
        return false;
    }
    close(fd);
    total_bytes -= cut;
    last.bytes = good_end;
    ++counts.skipped;
    notices.push_back("spool " + dir.Path() + ": " + name + ": " + why + " at byte " +
        std::to_string(good_end) + " cut away (" + std::to_string(cut) + " bytes)");
    return true;
}
