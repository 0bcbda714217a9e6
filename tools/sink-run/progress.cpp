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

} // namespace

uint64_t unacknowledged(const Snapshot &snapshot)
{
    return snapshot.delivery.outstanding() + snapshot.delivery.abandoned;
}

std::string format_progress(const Snapshot &s)
{
    return "tavrix-sink-run: " + seconds(s.elapsed) + ": read " + std::to_string(s.read) +
        ", queued " + std::to_string(s.queued) + ", dropped " + std::to_string(s.dropped) +
        ", waiting " + std::to_string(s.waiting) + ", published " +
        std::to_string(s.delivery.published) + ", unacknowledged " +
        std::to_string(unacknowledged(s));
}

std::string format_summary(const Snapshot &s)
{
    return "tavrix-sink-run: read " + std::to_string(s.read) + ", queued " +
        std::to_string(s.queued) + ", dropped " + std::to_string(s.dropped) + ", published " +
        std::to_string(s.delivery.published) + ", unacknowledged " +
        std::to_string(unacknowledged(s)) + ", elapsed " + seconds(s.elapsed);
}

namespace {

std::string why_never_made(const DeliveryCounts &d, const RunEnd &end)
{
    if (d.losses > 0) {
        return ": the plug-in drops payloads while it is not connected (connections lost: " +
            std::to_string(d.losses) + ")";
    }
    if (d.refused > 0) {
        return ": libmosquitto refused publishes and the plug-in skips the rest of such a"
               " payload's channels (see the \"MQ Publish: TOPIC: ...\" lines)";
    }
    if (end.cut_short) {
        return " (wait cut short by a second signal)";
    }
    return " (the plug-in did not take them from its queue)";
}

std::string why_unacknowledged(const DeliveryCounts &d, const RunEnd &end)
{
    if (end.stalled) {
        return " (gave up after 30 s without progress)";
    }
    if (end.cut_short) {
        return " (wait cut short by a second signal)";
    }
    return " (connections lost: " + std::to_string(d.losses) + ")";
}

} // namespace

std::vector<std::string> shortfalls(const Snapshot &s, std::size_t channels, const RunEnd &end)
{
    std::vector<std::string> lines;
    const DeliveryCounts &d = s.delivery;
    if (s.dropped > 0) {
        lines.push_back(std::to_string(s.dropped) + " payloads dropped by the full queue");
    }
    uint64_t expected = s.queued * channels;
    uint64_t made = d.published > d.refused ? d.published - d.refused : 0;
    if (d.published < expected) {
        lines.push_back(std::to_string(expected - d.published) + " publishes never made" +
            why_never_made(d, end));
    }
    if (d.refused > 0) {
        lines.push_back(std::to_string(d.refused) + " of " + std::to_string(made + d.refused) +
            " publishes refused by libmosquitto");
    }
    if (unacknowledged(s) > 0) {
        lines.push_back(std::to_string(unacknowledged(s)) +
            " publishes not acknowledged by the broker" + why_unacknowledged(d, end));
    } else if (end.stalled) {
        lines.push_back("the plug-in did not finish its queue (gave up after 30 s)");
    }
    if (end.unflushed) {
        lines.push_back("the plug-in's last write did not finish (no disconnect confirmed):"
                        " published payloads may not have reached the broker");
    }
    return lines;
}

ProgressLines::ProgressLines(std::function<Snapshot()> sample_) : sample(std::move(sample_))
{
    thread = std::thread(&ProgressLines::print_every_second, this);
}

ProgressLines::~ProgressLines()
{
    {
        std::lock_guard<std::mutex> guard(lock);
        stopping = true;
    }
    stopped.notify_all();
    thread.join();
}

void ProgressLines::print_every_second()
{
    auto next = std::chrono::steady_clock::now();
    std::unique_lock<std::mutex> guard(lock);
    for (;;) {
        next += std::chrono::seconds(1);
        if (stopped.wait_until(guard, next, [this] { return stopping; })) {
            return;
        }
        std::string line = format_progress(sample());
        std::fprintf(stderr, "%s\n", line.c_str());
    }
}
