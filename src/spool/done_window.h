/*
 * Which of the payloads handed out are done, and the lowest that is not:
 * the mark the spool may persist. Publishes settle out of their order (a
 * QoS 2 flow overtaken by QoS 1 ones, a refusal, a QoS 0 write ahead of
 * an acknowledgement), and the mark passes only what is done.
 *
 * It holds one small entry per payload from the mark to the last handed
 * out: a queue, so the usual in-order case costs a push and a pop.
 */
#ifndef TAVRIX_SPOOL_DONE_WINDOW_H
#define TAVRIX_SPOOL_DONE_WINDOW_H

#include <cstdint>
#include <deque>

class DoneWindow
{
public:
    /* Nothing handed out; everything below `first` is done. */
    void Reset(uint64_t first);

    /* Hands out End(), appended at `time_ms`. */
    void HandOut(int64_t time_ms);
    /* Everything from End() to `end` is gone unread (a bad record): done
     * as far as the mark is concerned. */
    void Skip(uint64_t end);
    /* False when `seq` was not handed out, is done already, or was
     * dropped meanwhile. */
    bool Done(uint64_t seq);
    /* Everything below `end` is dropped; returns how many of those that
     * were handed out were not done. */
    uint64_t DropBelow(uint64_t end);

    /* The lowest sequence number not done. */
    uint64_t Mark() const { return mark; }
    /* The next sequence number to hand out. */
    uint64_t End() const { return mark + entries.size(); }
    /* Handed out and done, above the mark. */
    uint64_t DoneAhead() const { return done_ahead; }
    /* Handed out and not done: the oldest's append time, or false. */
    bool OldestInFlight(int64_t &time_ms) const;

private:
    struct Entry {
        int64_t time_ms;
        bool done;
    };
    void PopDone();

    std::deque<Entry> entries;
    uint64_t mark = 0;
    uint64_t done_ahead = 0;
};

#endif
