#include "spool_feed.h"

#include <host/tavrixd.h>

#include "instance_status.h"

namespace {

constexpr const char *OK_STATE = "ok";

void add_counts(SpoolFigures &sum, const SpoolFigures &more)
{
    sum.dropped += more.dropped;
    sum.skipped += more.skipped;
    sum.replayed += more.replayed;
    sum.write_failures += more.write_failures;
}

} // namespace

void SpoolFeed::Configure(const std::string &wanted_dir, uint64_t wanted_max_bytes,
    InstanceStatus &status)
{
    wanted = Settings{wanted_dir, wanted_max_bytes};
    if (wanted.dir == dir && wanted.max_bytes == max_bytes) {
        return;
    }
    // What a failed spool took and could not write is in its memory only:
    // it hands that out first, and Serve applies the change once it is
    // settled.
    if (!Replaceable()) {
        return;
    }
    Apply("changed by the configuration");
    Report(status);
}

bool SpoolFeed::Replaceable() const
{
    return !spool || !spool->Failed() || (spool->Settled() && !held);
}

void SpoolFeed::Apply(const char *why)
{
    Close(why);
    dir = wanted.dir;
    max_bytes = wanted.max_bytes;
    last_open_error.clear();
    if (Configured()) {
        Open();
    }
}

void SpoolFeed::Open()
{
    std::string error;
    spool = Spool::Open(dir, max_bytes, error);
    ++generation;
    open_publishes.clear();
    failure_told = false;
    if (!spool) {
        // Told and counted once per reason: an instance that finds the
        // directory held by another tries again every minute in silence.
        if (error != last_open_error) {
            ag_printf("%s: %s: going on without a spool\n", tag.c_str(), error.c_str());
            last_open_error = error;
            ++closed.write_failures;
        }
        failed_at = Clock::now();
        state = "failed: " + Reason(error);
        return;
    }
    last_open_error.clear();
    state = OK_STATE;
    TellNotices();
    SpoolFigures found = spool->Figures();
    if (found.payloads > 0) {
        ag_printf("%s: spool %s holds %llu payloads (%llu bytes): published first, oldest first\n",
            tag.c_str(), dir.c_str(), static_cast<unsigned long long>(found.payloads),
            static_cast<unsigned long long>(found.bytes));
    }
}

// What it holds stays on disk for the next spool on this directory;
// handed out and not done, it is published again from there.
void SpoolFeed::Close(const char *why)
{
    if (!spool) {
        return;
    }
    spool->Sync();
    TellNotices();
    SpoolFigures last = spool->Figures();
    add_counts(closed, last);
    if (last.payloads > 0) {
        ag_printf("%s: spool %s closed (%s) with %llu payloads kept in it\n", tag.c_str(),
            dir.c_str(), why, static_cast<unsigned long long>(last.payloads));
    }
    spool.reset();
    open_publishes.clear();
}

void SpoolFeed::HandedOut(SpoolTicket ticket, std::size_t publishes)
{
    if (publishes == 0) {
        spool->Done(ticket.seq);
    } else if (publishes > 1) {
        open_publishes[ticket.seq] = static_cast<uint32_t>(publishes);
    }
}

// A payload with one publish, the usual case, has no entry: its one
// settlement is its last.
void SpoolFeed::SettleOne(uint64_t seq)
{
    if (!open_publishes.empty()) {
        auto found = open_publishes.find(seq);
        if (found != open_publishes.end() && --found->second > 0) {
            return;
        }
        if (found != open_publishes.end()) {
            open_publishes.erase(found);
        }
    }
    spool->Done(seq);
}

void SpoolFeed::Serve(InstanceStatus &status)
{
    if (!Configured()) {
        return;
    }
    const Clock::time_point now = Clock::now();
    if (!spool) {
        if (now - failed_at >= RETRY_INTERVAL) {
            Open();
        }
        Report(status);
        return;
    }
    if (spool->SyncDue() <= now) {
        spool->Sync();
    }
    TellNotices();
    if (spool->Failed()) {
        TellFailure(now);
        // Opened anew only once nothing of the failed one is left to hand
        // out or settle: the new one may hand out the same payloads again.
        if (Replaceable() && (now - failed_at >= RETRY_INTERVAL || wanted.dir != dir ||
                                 wanted.max_bytes != max_bytes)) {
            Apply("failed");
        }
    }
    Report(status);
}

SpoolFeed::Clock::time_point SpoolFeed::WakeBy() const
{
    return spool ? spool->SyncDue() : Clock::time_point::max();
}

void SpoolFeed::Finish(InstanceStatus &status)
{
    if (!Configured()) {
        return;
    }
    if (spool && !spool->Failed()) {
        spool->Sync();
    }
    TellNotices();
    if (spool && spool->Failed()) {
        TellFailure(Clock::now());
    }
    Report(status);
}

void SpoolFeed::TellNotices()
{
    std::string line;
    while (spool && spool->TakeNotice(line)) {
        ag_printf("%s: %s\n", tag.c_str(), line.c_str());
    }
}

// Once: a failed spool writes nothing more, so it cannot fail again.
void SpoolFeed::TellFailure(Clock::time_point now)
{
    if (failure_told) {
        return;
    }
    failure_told = true;
    failed_at = now;
    state = "failed: " + Reason(spool->Failure());
    ag_printf("%s: spool %s failed: going on without it; it is opened again once what it holds is"
              " settled, a minute from now at the soonest\n",
        tag.c_str(), dir.c_str());
}

// The first drops at once, then at most a line a minute: a bound reached
// under a steady stream drops a little at every segment.
void SpoolFeed::TellDrops(Clock::time_point now, uint64_t dropped)
{
    if (dropped <= dropped_told || (drops_told && now - drops_told_at < DROP_REPORT_INTERVAL)) {
        return;
    }
    ag_printf("%s: spool %s: dropped %llu payloads, the oldest, to stay within spool_max_bytes"
              " (%llu bytes)\n",
        tag.c_str(), dir.c_str(), static_cast<unsigned long long>(dropped - dropped_told),
        static_cast<unsigned long long>(max_bytes));
    dropped_told = dropped;
    drops_told_at = now;
    drops_told = true;
}

// Without a directory the status shows no spool.
void SpoolFeed::Report(InstanceStatus &status)
{
    SpoolFigures now = spool ? spool->Figures() : SpoolFigures();
    add_counts(now, closed);
    TellDrops(Clock::now(), now.dropped);
    status.SpoolReport(dir, state, now);
}

std::string SpoolFeed::Reason(const std::string &line) const
{
    std::string path = dir;
    while (path.size() > 1 && path.back() == '/') {
        path.pop_back();
    }
    const std::string prefix = "spool " + path + ": ";
    return line.compare(0, prefix.size(), prefix) == 0 ? line.substr(prefix.size()) : line;
}
