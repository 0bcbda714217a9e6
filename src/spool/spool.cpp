#include "spool.h"

#include <algorithm>

#include <unistd.h>

namespace {

// Below this a segment's header and the file system's own costs weigh;
// above it a drop by the bound takes too much at once.
constexpr uint64_t MIN_SEGMENT_BYTES = 4 << 10;
constexpr uint64_t MAX_SEGMENT_BYTES = 16 << 20;
constexpr uint64_t SEGMENTS_PER_BOUND = 64;

int64_t wall_clock_ms()
{
    // The wall clock: an age must survive a restart, which the steady
    // clock does not.
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::system_clock::now().time_since_epoch())
        .count();
}

} // namespace

Spool::Spool(uint64_t bound)
    : max_bytes(bound),
      segment_bytes(std::clamp(bound / SEGMENTS_PER_BOUND, MIN_SEGMENT_BYTES, MAX_SEGMENT_BYTES))
{
}

Spool::~Spool()
{
    if (active_fd != -1) {
        close(active_fd);
    }
    for (int fd : rolled_fds) {
        close(fd);
    }
}

std::unique_ptr<Spool> Spool::Open(const std::string &path, uint64_t max_bytes, std::string &error)
{
    std::unique_ptr<Spool> spool(new Spool(max_bytes));
    if (!spool->dir.Open(path, error) || !spool->Recover(error)) {
        return nullptr;
    }
    return spool;
}

bool Spool::Append(const std::shared_ptr<agPluginSinkPayload> &host_payload)
{
    if (failed) {
        return false;
    }
    SpoolPayload payload = SpoolPayload::FromHost(host_payload);
    uint64_t size = spool_record_size(payload.length, *payload.channels);
    if (size > RECORD_MAX_BYTES || size + SEGMENT_HEADER_BYTES > max_bytes || !MakeRoom(size)) {
        return false;
    }
    // One clock read per batch: an age in milliseconds needs no more.
    if (batch_time_ms < 0) {
        batch_time_ms = wall_clock_ms();
    }
    spool_encode_record(batch, next_seq, batch_time_ms, payload.data, payload.length,
        *payload.channels);
    total_bytes += size;
    // Every record not written is in the cache: after a failed write, the
    // cache is what still holds it.
    cache_bytes += payload.length;
    cache.push_back(Cached{next_seq, batch_time_ms, std::move(payload), segments.back().first_seq,
        segments.back().bytes + batch.size()});
    ++next_seq;
    return true;
}

bool Spool::Next(Item &item)
{
    RecordView record;
    switch (FindNext(record)) {
    case Source::CACHE:
        TakeCached(item);
        return true;
    case Source::DISK:
        TakeStored(record, item);
        return true;
    case Source::NONE:
        break;
    }
    return false;
}

void Spool::Done(uint64_t seq)
{
    window.Done(seq);
}

bool Spool::Sync()
{
    if (failed) {
        ForgetDone();
        return false;
    }
    if (!Flush()) {
        return false;
    }
    if (data_dirty && active_fd != -1 && fdatasync(active_fd) == -1) {
        int error = errno;
        return Fail(dir.ErrorText("sync", SegmentName(segments.size() - 1), error), error);
    }
    while (!rolled_fds.empty()) {
        int fd = rolled_fds.back();
        if (fdatasync(fd) == -1) {
            int error = errno;
            return Fail(dir.ErrorText("sync", "a full segment", error), error);
        }
        close(fd);
        rolled_fds.pop_back();
    }
    data_dirty = false;
    std::string text;
    int error = entries_dirty ? dir.SyncEntries(text) : 0;
    if (error != 0) {
        return Fail(text, error);
    }
    entries_dirty = false;
    // A mark written before a crash that loses data is harmless: it only
    // passes payloads already done.
    uint64_t mark = window.Mark();
    if (mark != persisted_mark) {
        error = dir.WriteDoneMark(mark, text);
        if (error != 0) {
            return Fail(text, error);
        }
        persisted_mark = mark;
    }
    last_sync = std::chrono::steady_clock::now();
    return RemoveDone();
}

bool Spool::Dirty() const
{
    return !batch.empty() || data_dirty || !rolled_fds.empty() || entries_dirty ||
        window.Mark() != persisted_mark;
}

std::chrono::steady_clock::time_point Spool::SyncDue() const
{
    if (failed || !Dirty()) {
        return std::chrono::steady_clock::time_point::max();
    }
    return last_sync + SYNC_INTERVAL;
}

bool Spool::Settled() const
{
    return window.End() >= next_seq && window.Mark() == window.End();
}

bool Spool::TakeNotice(std::string &line)
{
    if (notices.empty()) {
        return false;
    }
    line = std::move(notices.front());
    notices.pop_front();
    return true;
}

SpoolFigures Spool::Figures()
{
    SpoolFigures figures = counts;
    figures.payloads = next_seq - window.Mark() - window.DoneAhead();
    figures.bytes = total_bytes;
    int64_t oldest = 0;
    bool held = window.OldestInFlight(oldest);
    if (!held) {
        RecordView record;
        Source source = FindNext(record);
        held = source != Source::NONE;
        oldest = source == Source::CACHE ? cache.front().time_ms : record.time_ms;
    }
    if (held) {
        figures.oldest_age_ms = std::max<int64_t>(0, wall_clock_ms() - oldest);
    }
    return figures;
}

std::size_t Spool::SegmentIndex(uint64_t first_seq) const
{
    auto found = std::lower_bound(segments.begin(), segments.end(), first_seq,
        [](const Segment &segment, uint64_t seq) { return segment.first_seq < seq; });
    if (found == segments.end() || found->first_seq != first_seq) {
        return NO_INDEX;
    }
    return static_cast<std::size_t>(found - segments.begin());
}

uint64_t Spool::SegmentEnd(std::size_t index) const
{
    return index + 1 < segments.size() ? segments[index + 1].first_seq : written_end;
}

bool Spool::IsActive(std::size_t index) const
{
    return active_fd != -1 && index + 1 == segments.size();
}

std::string Spool::SegmentName(std::size_t index) const
{
    return SpoolDirectory::SegmentName(segments[index].first_seq);
}
