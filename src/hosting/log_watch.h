/*
 * What the plug-in's log lines still tell a host that counts deliveries
 * through libmosquitto itself: its notices about failed connections and
 * refused publishes. Tests may also keep every line and wait for one.
 */
#ifndef TAVRIX_HOSTING_LOG_WATCH_H
#define TAVRIX_HOSTING_LOG_WATCH_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include <host/ag_log.h>

class LogWatch
{
public:
    /* Watches the lines of the instance tagged `tag`; keeps every line
     * (of any tag) when `keep_lines`. */
    LogWatch(std::string tag, bool keep_lines);

    /* Takes one line as the host's logger hands it over (trailing newline
     * or not); returns it without its newline. */
    std::string on_line(agLogLevel level, const std::string &text);

    /* The plug-in's last notice about a failed connection, client or
     * request. */
    std::string last_problem() const;
    /* Publish requests the plug-in reported refused ("MQ Publish: ..."). */
    uint64_t refused() const;

    std::vector<std::string> lines() const;
    /* Kept lines that contain `text`. */
    std::size_t count(const std::string &text) const;
    /* Waits until `times` kept lines contain `text`; true if they do. */
    bool wait_for(const std::string &text, std::size_t times = 1,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    std::size_t count_locked(const std::string &text) const;
    void note_notice(const std::string &line);

    const std::string prefix;
    const bool keep;
    mutable std::mutex lock;
    mutable std::condition_variable grown;
    std::vector<std::string> kept;
    std::string problem;
    uint64_t refusals = 0;
};

#endif
