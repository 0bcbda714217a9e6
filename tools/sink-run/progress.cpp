#include "progress.h"

#include <chrono>
#include <cstdio>

namespace {

std::string seconds(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%.2f s", value);
    return text;
}

// Both lines' counts; the progress line has the queue's too.
std::string counts(const Snapshot &s, const std::string &waiting)
{
    using std::to_string;
    return "read " + to_string(s.read) + ", queued " + to_string(s.queued) + ", dropped " +
        to_string(s.dropped) + waiting + ", published " + to_string(s.published()) +
        ", unacknowledged " + to_string(s.unacknowledged()) + ", re-sent " +
        to_string(s.sink.resent);
}

} // namespace

std::string format_progress(const Snapshot &s)
{
    std::string spooled =
        s.sink.spool.configured ? ", spooled " + std::to_string(s.sink.spool.payloads) : "";
    return "tavrix-sink-run: " + seconds(s.elapsed) + ": " +
        counts(s, ", waiting " + std::to_string(s.waiting) + spooled);
}

// "Not authorized", or "Not authorized 60, Packet too large 40".
std::string broker_reasons(const SinkStatus &sink)
{
    std::string text;
    for (const auto &[reason, count] : sink.broker_refusals) {
        text += (text.empty() ? "" : ", ") + reason +
            (sink.broker_refusals.size() > 1 ? " " + std::to_string(count) : "");
    }
    return text;
}

// The broker's refusals and QoS 0's possible losses only when there are
// any: the line of a run without them reads as it always has.
std::string format_summary(const Snapshot &s)
{
    std::string more;
    if (s.sink.refused_by_broker > 0) {
        more += ", refused by the broker " + std::to_string(s.sink.refused_by_broker) + " (" +
            broker_reasons(s.sink) + ")";
    }
    if (s.sink.possibly_lost > 0) {
        more += ", possibly lost " + std::to_string(s.sink.possibly_lost);
    }
    if (s.sink.spool.replayed > 0) {
        more += ", replayed from the spool " + std::to_string(s.sink.spool.replayed);
    }
    if (s.sink.spool.dropped > 0) {
        more += ", dropped by the spool's bound " + std::to_string(s.sink.spool.dropped);
    }
    return "tavrix-sink-run: " + counts(s, "") + more + ", elapsed " + seconds(s.elapsed);
}

std::vector<std::string> shortfalls(const Snapshot &s, std::size_t channels, const RunEnd &end)
{
    using std::to_string;
    const char *cut_short = " (wait cut short by a second signal)";
    std::vector<std::string> lines;
    if (s.dropped > 0) {
        lines.push_back(to_string(s.dropped) + " payloads dropped by the full queue");
    }
    const bool kept = s.sink.spool.ok();
    uint64_t expected = kept ? 0 : s.queued * channels;
    if (kept && s.sink.payloads_taken < s.queued) {
        lines.push_back(to_string(s.queued - s.sink.payloads_taken) +
            " payloads never taken from the queue into the spool");
    }
    if (s.published() < expected) {
        lines.push_back(to_string(expected - s.published()) + " publishes never made" +
            (end.cut_short ? cut_short : " (the plug-in did not take them from its queue)"));
    }
    if (s.sink.refused > 0) {
        lines.push_back(to_string(s.sink.refused) + " of " + to_string(s.published()) +
            " publishes refused before sending (by libmosquitto, or over the broker's maximum"
            " packet size)");
    }
    if (s.sink.refused_by_broker > 0) {
        lines.push_back(to_string(s.sink.refused_by_broker) + " publishes refused by the broker (" +
            broker_reasons(s.sink) + "; last: " + s.sink.last_broker_refusal + ")");
    }
    if (s.sink.lost > 0) {
        lines.push_back(to_string(s.sink.lost) +
            " publishes given up by the plug-in (see its \"gave up a publish\" and \"MQ"
            " Publish\" lines)");
    }
    if (s.sink.possibly_lost > 0) {
        lines.push_back(to_string(s.sink.possibly_lost) +
            " QoS 0 messages possibly lost: written into connections that broke before the broker"
            " answered; QoS 0 never sends a message twice");
    }
    if (s.sink.spool.dropped > 0) {
        lines.push_back(to_string(s.sink.spool.dropped) +
            " payloads dropped from the spool to stay within its bound (--spool-max-bytes)");
    }
    if (s.sink.spool.skipped > 0) {
        lines.push_back(to_string(s.sink.spool.skipped) + " spooled payloads lost to torn or bad"
            " records in " + s.sink.spool.dir);
    }
    if (kept) {
        return lines;
    }
    if (s.sink.unconfirmed > 0) {
        lines.push_back(to_string(s.sink.unconfirmed) +
            " publishes lost: libmosquitto dropped them unwritten (QoS 0) or unacknowledged"
            " (QoS 1 and 2)" +
            (end.stalled ? (end.stopped ? " (gave up 45 s after the stop request)"
                                        : " (gave up after 45 s without progress)")
                : end.cut_short ? cut_short
                                : " (connections lost: " + to_string(end.losses) + ")"));
    } else if (end.stalled) {
        lines.push_back("the plug-in did not finish its queue (gave up after 45 s)");
    }
    return lines;
}

ProgressLines::ProgressLines(std::function<Snapshot()> sample)
{
    thread = std::thread([sample, stopped = stop.get_future()] {
        auto next = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        for (; stopped.wait_until(next) == std::future_status::timeout;
             next += std::chrono::seconds(1)) {
            std::fprintf(stderr, "%s\n", format_progress(sample()).c_str());
        }
    });
}

ProgressLines::~ProgressLines()
{
    stop.set_value();
    thread.join();
}
