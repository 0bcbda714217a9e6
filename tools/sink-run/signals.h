/*
 * Signal handling on a thread of its own: SIGHUP asks for a reload,
 * SIGINT and SIGTERM ask the runner to stop.
 * The plug-in's worker runs with every signal blocked, so these signals
 * would otherwise land on any thread of the host.
 */
#ifndef TAVRIX_SINK_RUN_SIGNALS_H
#define TAVRIX_SINK_RUN_SIGNALS_H

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>

#include "run_events.h"

class SignalWatch
{
public:
    /* Blocks the three signals in the calling thread, which must be the
     * only thread so far, so that every later thread inherits the mask. */
    explicit SignalWatch(RunEvents &events);
    ~SignalWatch();

    SignalWatch(const SignalWatch &) = delete;
    SignalWatch &operator=(const SignalWatch &) = delete;

    /* What SIGHUP does, on the watch's thread; empty while there is no
     * plug-in to reload. */
    void set_reload(std::function<void()> action);

private:
    void watch();
    void on_reload();

    RunEvents &events;
    std::mutex reload_lock;
    std::function<void()> reload;
    std::atomic<bool> quitting{false};
    std::thread thread;
};

#endif
