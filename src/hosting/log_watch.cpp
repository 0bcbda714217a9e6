#include "log_watch.h"

namespace {

bool starts_with(const std::string &text, std::size_t at, const char *start)
{
    return text.compare(at, std::char_traits<char>::length(start), start) == 0;
}

// The plug-in's notices that tell why nothing, or not everything, went
// through; the last one is what a host quotes.
constexpr const char *PROBLEMS[] = {"MQ connect: ", "MQ read: ", "MQ misc: ",
    "New MQTT context: ", "Reinitialise MQTT context: ", "error initializing libmosquitto TLS: ",
    "error enabling TLS insecure mode: ", "error disabling TLS insecure mode: "};

constexpr const char *REFUSED_PUBLISH = "MQ Publish: ";

} // namespace

LogWatch::LogWatch(std::string tag, bool keep_lines)
    : prefix(std::move(tag) + ": "), keep(keep_lines)
{
}

std::string LogWatch::on_line(agLogLevel level, const std::string &text)
{
    std::string line = text;
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        // Debug lines share the notices' prefixes ("MQ Publish: TOPIC,
        // length: N"), so only notices count.
        if (level == agLogLevel::NOTICE && line.compare(0, prefix.size(), prefix) == 0) {
            note_notice(line);
        }
        if (keep) {
            kept.push_back(line);
        }
    }
    if (keep) {
        grown.notify_all();
    }
    return line;
}

void LogWatch::note_notice(const std::string &line)
{
    if (starts_with(line, prefix.size(), REFUSED_PUBLISH)) {
        ++refusals;
        problem = line;
        return;
    }
    for (const char *start : PROBLEMS) {
        if (starts_with(line, prefix.size(), start)) {
            problem = line;
            return;
        }
    }
}

std::string LogWatch::last_problem() const
{
    std::lock_guard<std::mutex> guard(lock);
    return problem;
}

uint64_t LogWatch::refused() const
{
    std::lock_guard<std::mutex> guard(lock);
    return refusals;
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
