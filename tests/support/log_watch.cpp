#include "log_watch.h"

void LogWatch::on_line(agLogLevel, const std::string &text)
{
    std::string line = text;
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        kept.push_back(std::move(line));
    }
    grown.notify_all();
}

std::vector<std::string> LogWatch::lines() const
{
    std::lock_guard<std::mutex> guard(lock);
    return kept;
}

std::size_t LogWatch::count(const std::string &text) const
{
    std::lock_guard<std::mutex> guard(lock);
    return count_locked(text);
}

std::size_t LogWatch::count_locked(const std::string &text) const
{
    std::size_t found = 0;
    for (const std::string &line : kept) {
        found += line.find(text) != std::string::npos ? 1 : 0;
    }
    return found;
}

bool LogWatch::wait_for(const std::string &text, std::size_t times,
    std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(lock);
    return grown.wait_for(guard, limit, [&] { return count_locked(text) >= times; });
}
