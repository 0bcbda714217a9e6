#include "done_window.h"

void DoneWindow::Reset(uint64_t first)
{
    entries.clear();
    mark = first;
    done_ahead = 0;
}

void DoneWindow::HandOut(int64_t time_ms)
{
    entries.push_back(Entry{time_ms, false});
}

void DoneWindow::Skip(uint64_t end)
{
    if (entries.empty()) {
        mark = end > mark ? end : mark;
        return;
    }
    for (uint64_t seq = End(); seq < end; ++seq) {
        entries.push_back(Entry{0, true});
        ++done_ahead;
    }
}

bool DoneWindow::Done(uint64_t seq)
{
    if (seq < mark || seq >= End()) {
        return false;
    }
    Entry &entry = entries[static_cast<std::size_t>(seq - mark)];
    if (entry.done) {
        return false;
    }
    entry.done = true;
    ++done_ahead;
    PopDone();
    return true;
}

void DoneWindow::PopDone()
{
    while (!entries.empty() && entries.front().done) {
        entries.pop_front();
        --done_ahead;
        ++mark;
    }
}

uint64_t DoneWindow::DropBelow(uint64_t end)
{
    uint64_t not_done = 0;
    while (!entries.empty() && mark < end) {
        if (entries.front().done) {
            --done_ahead;
        } else {
            ++not_done;
        }
        entries.pop_front();
        ++mark;
    }
    if (mark < end) {
        mark = end;
    }
    PopDone();
    return not_done;
}

bool DoneWindow::OldestInFlight(int64_t &time_ms) const
{
    if (entries.empty()) {
        return false;
    }
    time_ms = entries.front().time_ms;
    return true;
}
