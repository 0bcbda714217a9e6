/*
 * The plug-in's log lines as a test sees them: every line kept, without
 * its newline, to be counted and waited for.
 */
#ifndef TAVRIX_TESTS_SUPPORT_LOG_WATCH_H
#define TAVRIX_TESTS_SUPPORT_LOG_WATCH_H

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include <host/ag_log.h>

class LogWatch
{
public:
    /* Takes one line as the host's logger hands it over (trailing newline
     * or not). */
    void on_line(agLogLevel level, const std::string &text);

    std::vector<std::string> lines() const;
    /* Kept lines that contain `text`. */
    std::size_t count(const std::string &text) const;
    /* Waits until `times` kept lines contain `text`; true if they do. */
    bool wait_for(const std::string &text, std::size_t times = 1,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    std::size_t count_locked(const std::string &text) const;

    mutable std::mutex lock;
    mutable std::condition_variable grown;
    std::vector<std::string> kept;
};

#endif
