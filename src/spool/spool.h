/*
 * The disk spool: payloads taken from the host's queue are appended to
 * segment files, handed out in their order, and leave the disk once done,
 * so that neither an outage longer than the host's queue nor a restart of
 * the agent loses them.
 *
 * One thread uses it (the worker); nothing in it logs. Its flow:
 *   Append   each payload taken from the host's queue, encoded into a batch
 *            in memory, no system call;
 *   Flush    once per pass: the batch in one write(), so a crash of the
 *            process from then on loses none of it;
 *   Next     the oldest payload not handed out yet, written ones only:
 *            from memory when appended in this run (a bounded cache),
 *            else read back from its segment;
 *   Done     every publish of that payload is settled;
 *   Sync     at least once a second while something changed (SyncDue):
 *            the data made durable, then the done mark, then the segments
 *            wholly done removed.
 * At-least-once: after a restart, everything from the last synced done
 * mark on is handed out again, oldest first.
 *
 * Bounded: when an append would take the files past `max_bytes`, the
 * oldest segments go, and with them their payloads not done (counted).
 * A segment is a 64th of the bound (16 MiB at most), so a drop is small
 * beside what stays.
 *
 * A record found torn at the end of the last segment at the start (a
 * machine crash mid-write) is cut away; a bad record found while reading
 * ends its segment for the reader (a record's length can no longer be
 * trusted past it) and the rest of that segment is skipped; the next
 * segment reads on. Each is counted and told once in a notice.
 *
 * A spool that can no longer write (read-only, full, removed) fails: it
 * says why in a notice, takes no more payloads, and goes on handing out
 * what it holds, from memory or from the files it can still read. The
 * caller goes on without it; it may open the directory again later, once
 * this one is Settled and destroyed.
 */
#ifndef TAVRIX_SPOOL_SPOOL_H
#define TAVRIX_SPOOL_SPOOL_H

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "done_window.h"
#include "segment_reader.h"
#include "spool_directory.h"
#include "spool_payload.h"

struct SpoolFigures {
    /* Payloads held and not done, handed out or not. */
    uint64_t payloads = 0;
    /* Bytes of the segment files, and of the batch not yet written. */
    uint64_t bytes = 0;
    /* Since the oldest payload not done was appended; 0 when none is held. */
    int64_t oldest_age_ms = 0;
    /* Not done when the bound dropped them. */
    uint64_t dropped = 0;
    /* Lost to torn or bad records. */
    uint64_t skipped = 0;
    /* Handed out, appended before this start. */
    uint64_t replayed = 0;
    /* Writes, syncs or file operations that failed (each fails the spool). */
    uint64_t write_failures = 0;
};

class Spool
{
public:
    struct Item {
        uint64_t seq = 0;
        SpoolPayload payload;
    };

    static constexpr uint64_t DEFAULT_MAX_BYTES = uint64_t{1} << 30;
    /* Payload bytes kept in memory, written but not handed out yet, so
     * that a connected sink never reads back what it has just written. */
    static constexpr uint64_t CACHE_BYTES = 8 << 20;
    static constexpr std::chrono::seconds SYNC_INTERVAL{1};

    /* Makes the directory if need be, locks it, finds its segments, cuts
     * a torn last record away and reads the done mark; reads no more than
     * the last segment. Null, with `error` (one log line), when the
     * directory cannot be used or another instance holds it. */
    static std::unique_ptr<Spool> Open(const std::string &path, uint64_t max_bytes, std::string &error);
    ~Spool();
    Spool(const Spool &) = delete;
    Spool &operator=(const Spool &) = delete;

    /* Takes the payload into the batch. False when it is not taken: the
     * spool has failed, or the payload alone would pass the bound; the
     * caller publishes it as it would without a spool. */
    bool Append(const std::shared_ptr<agPluginSinkPayload> &payload);
    /* Writes the batch; false when the spool has failed (then or before). */
    bool Flush();
    /* The oldest payload not handed out yet and written (or, after a
     * failure, held in memory); false when there is none. */
    bool Next(Item &item);
    /* Every publish of `seq` is settled. Any order; a `seq` dropped,
     * unknown or done already is ignored. */
    void Done(uint64_t seq);
    /* Flush, fdatasync, the done mark, removal of the segments wholly
     * done; false when the spool has failed. */
    bool Sync();
    /* When Sync is due: a second after the last one while something is
     * left to sync, else never (time_point::max()). */
    std::chrono::steady_clock::time_point SyncDue() const;

    bool Failed() const { return failed; }
    /* errno of the failure; 0 before one. */
    int ErrorNumber() const { return error_number; }
    /* The failure's line (also told as a notice); empty before one. */
    const std::string &Failure() const { return failure; }
    /* Some payload may wait to be handed out: a look that costs nothing,
     * for a caller deciding whether to wait (Next may still find none
     * past a bad record). */
    bool Waiting() const { return window.End() < (failed ? next_seq : written_end); }
    /* Everything taken has been handed out and is done. */
    bool Settled() const;
    /* The next line to log (a torn or bad record, a damaged done mark, the
     * failure), each told once; false when none waits. */
    bool TakeNotice(std::string &line);
    /* May read the next record's header, for the oldest one's age. */
    SpoolFigures Figures();

private:
    struct Segment {
        uint64_t first_seq;
        /* Bytes written to the file. */
        uint64_t bytes;
        /* A bad record was found in it: nothing more is read from it. */
        bool broken;
    };
    /* A payload appended in this run, not handed out yet, and where its
     * record ends, so the reader can go on after it. */
    struct Cached {
        uint64_t seq;
        int64_t time_ms;
        SpoolPayload payload;
        uint64_t segment;
        uint64_t end_offset;
    };
    /* Where the reader goes on: the record of `expected` starts at
     * `offset` of segment `segment`. */
    struct Cursor {
        uint64_t segment;
        uint64_t offset;
        uint64_t expected;
    };
    enum class Found { RECORD, SKIPPED, NONE };
    enum class Source { NONE, CACHE, DISK };
    static constexpr uint64_t NO_SEGMENT = UINT64_MAX;
    static constexpr std::size_t NO_INDEX = SIZE_MAX;

    explicit Spool(uint64_t max_bytes);

    // Opening (spool_recovery.cpp).
    bool Recover(std::string &error);
    bool RecoverTail(std::string &error);
    bool CutTail(Segment &last, uint64_t good_end, const std::string &why, std::string &error);

    // Writing (spool_writer.cpp).
    bool MakeRoom(uint64_t size);
    bool CreateSegment();
    bool Roll();
    bool DropOldest();
    bool RemoveOldest();
    bool RemoveDone();
    void TrimCache();
    bool Fail(const std::string &text, int error);
    void ForgetDone();
    bool Dirty() const;

    // Reading (spool_reader.cpp).
    Source FindNext(RecordView &record);
    Found FindStored(uint64_t seq, RecordView &record);
    std::size_t PlaceCursor(uint64_t seq);
    void MoveCursor(std::size_t index);
    bool OpenReader(std::size_t index);
    void Break(std::size_t index, const std::string &why);
    bool SkipRest(std::size_t index, uint64_t seq);
    void TakeCached(Item &item);
    void TakeStored(const RecordView &record, Item &item);
    void PopCachedBelow(uint64_t seq);

    std::size_t SegmentIndex(uint64_t first_seq) const;
    /* One past the last sequence number written to the segment. */
    uint64_t SegmentEnd(std::size_t index) const;
    bool IsActive(std::size_t index) const;
    std::string SegmentName(std::size_t index) const;

    SpoolDirectory dir;
    const uint64_t max_bytes;
    const uint64_t segment_bytes;

    std::deque<Segment> segments;
    /* The last segment's, while appends go to it. */
    int active_fd = -1;
    /* Segments written to since the last Sync and no longer appended to. */
    std::vector<int> rolled_fds;
    /* Records appended and not written yet, all of the last segment. */
    std::string batch;
    /* When the batch's records were appended; -1 until one is. */
    int64_t batch_time_ms = -1;
    uint64_t total_bytes = 0;

    /* The next payload's sequence number; everything below
     * `written_end` is in the files; `start_seq` was next at the start. */
    uint64_t next_seq = 0;
    uint64_t written_end = 0;
    uint64_t start_seq = 0;
    DoneWindow window;
    uint64_t persisted_mark = 0;

    std::deque<Cached> cache;
    uint64_t cache_bytes = 0;
    Cursor cursor{NO_SEGMENT, 0, 0};
    SegmentReader reader;
    uint64_t reader_segment = NO_SEGMENT;

    bool data_dirty = false;
    bool entries_dirty = false;
    std::chrono::steady_clock::time_point last_sync;
    bool failed = false;
    int error_number = 0;
    std::string failure;
    std::deque<std::string> notices;
    SpoolFigures counts;
};

#endif
