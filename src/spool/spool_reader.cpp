/*
 * The spool's reading side: the next payload to hand out, from the cache
 * when it holds it, else from its segment through one reader that moves
 * forward only; bad records end their segment for it.
 */
#include <algorithm>
#include <cerrno>

#include "spool.h"

namespace {

std::string step_text(SegmentReader::Step step, uint64_t offset, int error)
{
    std::string at = " at byte " + std::to_string(offset);
    switch (step) {
    case SegmentReader::Step::TORN:
        return "record cut short" + at;
    case SegmentReader::Step::FAILED:
        return "read failed" + at + ": " + SpoolDirectory::ErrnoText(error);
    case SegmentReader::Step::END:
        return "ends" + at + ", before its last record";
    default:
        return "bad record" + at;
    }
}

} // namespace

// The next payload to hand out, left where it is.
Spool::Source Spool::FindNext(RecordView &record)
{
    // Once failed, nothing more is written: what the cache holds is all
    // there is of the rest.
    const uint64_t limit = failed ? next_seq : written_end;
    for (uint64_t seq = window.End(); seq < limit; seq = window.End()) {
        PopCachedBelow(seq);
        if (!cache.empty() && cache.front().seq == seq) {
            return Source::CACHE;
        }
        switch (FindStored(seq, record)) {
        case Found::RECORD:
            return Source::DISK;
        case Found::SKIPPED:
            continue;
        case Found::NONE:
            return Source::NONE;
        }
    }
    return Source::NONE;
}

Spool::Found Spool::FindStored(uint64_t seq, RecordView &record)
{
    for (;;) {
        std::size_t index = PlaceCursor(seq);
        if (index == NO_INDEX) {
            return Found::NONE;
        }
        if (segments[index].broken || !OpenReader(index)) {
            return SkipRest(index, seq) ? Found::SKIPPED : Found::NONE;
        }
        SegmentReader::Step step = reader.Peek(record);
        int read_error = errno;
        if (step == SegmentReader::Step::RECORD && record.seq != cursor.expected) {
            step = SegmentReader::Step::BAD;
        }
        if (step == SegmentReader::Step::RECORD) {
            if (record.seq == seq) {
                return Found::RECORD;
            }
            // Below `seq`: done before this start (the mark lies inside
            // the segment), or passed while the cursor had lost its place.
            reader.Advance(record);
            cursor.offset = reader.Offset();
            ++cursor.expected;
            continue;
        }
        if (step == SegmentReader::Step::END && cursor.expected >= SegmentEnd(index)) {
            if (index + 1 == segments.size()) {
                return Found::NONE;
            }
            MoveCursor(index + 1);
            continue;
        }
        Break(index, step_text(step, reader.Offset(), read_error));
    }
}

// Where the cursor is, unless it has lost its segment or is past `seq`:
// then from the start of the segment that holds `seq`.
std::size_t Spool::PlaceCursor(uint64_t seq)
{
    std::size_t index = SegmentIndex(cursor.segment);
    if (index != NO_INDEX && cursor.expected <= seq) {
        return index;
    }
    if (segments.empty()) {
        return NO_INDEX;
    }
    auto after = std::upper_bound(segments.begin(), segments.end(), seq,
        [](uint64_t wanted, const Segment &segment) { return wanted < segment.first_seq; });
    index = after == segments.begin() ? 0 : static_cast<std::size_t>(after - segments.begin()) - 1;
    MoveCursor(index);
    return index;
}

void Spool::MoveCursor(std::size_t index)
{
    cursor = Cursor{segments[index].first_seq, SEGMENT_HEADER_BYTES, segments[index].first_seq};
}

bool Spool::OpenReader(std::size_t index)
{
    const Segment &segment = segments[index];
    if (reader_segment != segment.first_seq || !reader.IsOpen()) {
        reader_segment = NO_SEGMENT;
        if (!reader.Open(dir.Fd(), SegmentName(index), segment.first_seq, segment.bytes)) {
            int open_error = errno;
            Break(index, open_error == EILSEQ ? std::string("not a segment of this format")
                                              : "open: " + SpoolDirectory::ErrnoText(open_error));
            return false;
        }
        reader_segment = segment.first_seq;
    }
    reader.SetLimit(segment.bytes);
    if (reader.Offset() != cursor.offset) {
        reader.Seek(cursor.offset);
    }
    return true;
}

// Told once: from now on the segment is skipped without a word.
void Spool::Break(std::size_t index, const std::string &why)
{
    segments[index].broken = true;
    reader.Close();
    reader_segment = NO_SEGMENT;
    notices.push_back("spool " + dir.Path() + ": " + SegmentName(index) + ": " + why +
        ": the rest of the segment is skipped");
}

// Past what a broken segment still held from `seq` on, but for payloads
// the cache holds. False when there was nothing to pass.
bool Spool::SkipRest(std::size_t index, uint64_t seq)
{
    uint64_t end = SegmentEnd(index);
    uint64_t lost_end = !cache.empty() && cache.front().seq < end ? cache.front().seq : end;
    if (lost_end > seq) {
        counts.skipped += lost_end - seq;
        window.Skip(lost_end);
    }
    if (lost_end == end && index + 1 < segments.size()) {
        MoveCursor(index + 1);
        return true;
    }
    return lost_end > seq;
}

void Spool::TakeCached(Item &item)
{
    Cached &entry = cache.front();
    item.seq = entry.seq;
    item.payload = std::move(entry.payload);
    window.HandOut(entry.time_ms);
    cursor = Cursor{entry.segment, entry.end_offset, entry.seq + 1};
    cache_bytes -= item.payload.length;
    cache.pop_front();
}

void Spool::TakeStored(const RecordView &record, Item &item)
{
    item.seq = record.seq;
    item.payload = SpoolPayload::Stored(
        std::string(reinterpret_cast<const char *>(record.payload), record.payload_length),
        spool_record_channels(record));
    window.HandOut(record.time_ms);
    if (record.seq < start_seq) {
        ++counts.replayed;
    }
    reader.Advance(record);
    cursor.offset = reader.Offset();
    ++cursor.expected;
}

void Spool::PopCachedBelow(uint64_t seq)
{
    while (!cache.empty() && cache.front().seq < seq) {
        cache_bytes -= cache.front().payload.length;
        cache.pop_front();
    }
}
