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
