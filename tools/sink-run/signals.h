/*
 * Signal handling on a thread of its own: SIGHUP asks the plug-in to
 * reread its configuration, SIGINT and SIGTERM ask the runner to stop.
 * The plug-in's worker runs with every signal blocked, so these signals
 * would otherwise land on any thread of the host.
 */
#ifndef TAVRIX_SINK_RUN_SIGNALS_H
#define TAVRIX_SINK_RUN_SIGNALS_H

#include <atomic>
#include <mutex>
#include <thread>

#include <host/tavrixd.h>

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

    /* Where SIGHUP goes; null while there is no plug-in. */
    void set_reload_target(agPlugin *plugin);

private:
    void watch();
    void on_reload();

    RunEvents &events;
    std::mutex target_lock;
    agPlugin *target = nullptr;
    std::atomic<bool> quitting{false};
    std::thread thread;
};

#endif
