#include "signals.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

RunEvents::RunEvents()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    pipe_read = ends[0];
    pipe_write = ends[1];
}

RunEvents::~RunEvents()
{
    close(pipe_read);
    close(pipe_write);
}

void RunEvents::request_stop(int signal)
{
    int none = 0;
    if (!stop_signal_number.compare_exchange_strong(none, signal)) {
        hurry_requested.store(true);
    }
    interrupt();
}

void RunEvents::worker_ended()
{
    worker_gone.store(true);
    interrupt();
}

void RunEvents::interrupt()
{
    // One byte is enough: nobody reads it, the descriptor stays readable.
    // A full pipe is as readable as one byte makes it.
    ssize_t written = write(pipe_write, "!", 1);
    (void)written;
    // Taking the lock orders this wake-up after a waiter's check of its
    // condition, so that no change is missed between check and wait.
    { std::lock_guard<std::mutex> guard(lock); }
    changed.notify_all();
}

SignalWatch::SignalWatch(RunEvents &events_) : events(events_)
{
    sigemptyset(&watched);
    for (int signal : {SIGHUP, SIGINT, SIGTERM}) {
        sigaddset(&watched, signal);
    }
    pthread_sigmask(SIG_BLOCK, &watched, nullptr);
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
    for (;;) {
        int signal = 0;
        if (sigwait(&watched, &signal) != 0) {
            continue;
        }
        if (quitting.load()) {
            return;
        }
        if (signal != SIGHUP) {
            events.request_stop(signal);
            continue;
        }
        // Held while the action runs: clearing it waits for a reload under way.
        std::lock_guard<std::mutex> guard(reload_lock);
        if (reload) {
            reload();
        }
    }
}
