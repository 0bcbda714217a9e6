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

std::string format_progress(const Snapshot &s)
{
    return "tavrix-sink-run: " + seconds(s.elapsed) + ": read " + std::to_string(s.read) +
        ", queued " + std::to_string(s.queued) + ", dropped " + std::to_string(s.dropped) +
        ", waiting " + std::to_string(s.waiting) + ", published " +
        std::to_string(s.published()) + ", unacknowledged " +
        std::to_string(s.unconfirmed()) + ", re-sent " + std::to_string(s.sink.resent);
}

std::string format_summary(const Snapshot &s)
{
    return "tavrix-sink-run: read " + std::to_string(s.read) + ", queued " +
        std::to_string(s.queued) + ", dropped " + std::to_string(s.dropped) + ", published " +
        std::to_string(s.published()) + ", unacknowledged " +
        std::to_string(s.unconfirmed()) + ", re-sent " + std::to_string(s.sink.resent) +
        ", elapsed " + seconds(s.elapsed);
}

namespace {

std::string why_never_made(const Snapshot &s, const RunEnd &end)
{
    if (s.sink.refused > 0) {
        return ": libmosquitto refused publishes and the plug-in skips the rest of such a"
               " payload's channels (see the \"MQ Publish: TOPIC: ...\" lines)";
    }
    if (end.cut_short) {
        return " (wait cut short by a second signal)";
    }
    return " (the plug-in did not take them from its queue)";
}

std::string why_unconfirmed(const RunEnd &end)
{
    if (end.stalled) {
        return " (gave up after 30 s without progress)";
    }
    if (end.cut_short) {
        return " (wait cut short by a second signal)";
    }
    return " (connections lost: " + std::to_string(end.losses) + ")";
}

} // namespace

std::vector<std::string> shortfalls(const Snapshot &s, std::size_t channels, const RunEnd &end)
{
    std::vector<std::string> lines;
    if (s.dropped > 0) {
        lines.push_back(std::to_string(s.dropped) + " payloads dropped by the full queue");
    }
    uint64_t expected = s.queued * channels;
    if (s.published() < expected) {
        lines.push_back(std::to_string(expected - s.published()) + " publishes never made" +
            why_never_made(s, end));
    }
    if (s.sink.refused > 0) {
        lines.push_back(std::to_string(s.sink.refused) + " of " + std::to_string(s.published()) +
            " publishes refused by libmosquitto");
    }
    if (s.unconfirmed() > 0) {
        lines.push_back(std::to_string(s.unconfirmed()) +
            " publishes lost: libmosquitto dropped them unwritten (QoS 0) or unacknowledged"
            " (QoS 1 and 2)" + why_unconfirmed(end));
    } else if (end.stalled) {
        lines.push_back("the plug-in did not finish its queue (gave up after 30 s)");
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
