#include "signals.h"

#include <csignal>

#include <pthread.h>

namespace {

sigset_t watched_signals()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    return set;
}

} // namespace

SignalWatch::SignalWatch(RunEvents &events_) : events(events_)
{
    sigset_t set = watched_signals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    thread = std::thread(&SignalWatch::watch, this);
}

SignalWatch::~SignalWatch()
{
    // Any one of the watched signals wakes the thread; the flag makes it
    // leave instead of acting on it.
    quitting.store(true);
    pthread_kill(thread.native_handle(), SIGHUP);
    thread.join();
}

void SignalWatch::set_reload(std::function<void()> action)
{
    std::lock_guard<std::mutex> guard(reload_lock);
    reload = std::move(action);
}

void SignalWatch::watch()
{
    sigset_t set = watched_signals();
    for (;;) {
        int signal = 0;
        if (sigwait(&set, &signal) != 0) {
            continue;
        }
        if (quitting.load()) {
            return;
        }
        if (signal == SIGHUP) {
            on_reload();
        } else {
            events.request_stop(signal);
        }
    }
}

void SignalWatch::on_reload()
{
    // Held while the action runs: clearing it waits for a reload under way.
    std::lock_guard<std::mutex> guard(reload_lock);
    if (reload) {
        reload();
    }
}
