/*
 * What the runner's threads tell the main thread: a stop request from a
 * signal, the end of the plug-in's worker. The main thread waits for them
 * on a condition, or on a descriptor while it waits for input.
 *
 * Signals are taken on a thread of their own: SIGHUP asks for a reload,
 * SIGINT and SIGTERM ask the runner to stop. The plug-in's worker runs
 * with every signal blocked, so these signals would otherwise land on any
 * thread of the host.
 */
#ifndef TAVRIX_SINK_RUN_SIGNALS_H
#define TAVRIX_SINK_RUN_SIGNALS_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

using Clock = std::chrono::steady_clock;

class RunEvents
{
public:
    RunEvents();
    ~RunEvents();

    /* The first request records its signal; a later one asks to hurry:
     * to stop waiting for deliveries. */
    void request_stop(int signal);
    void worker_ended();

    int stop_signal() const { return stop_signal_number.load(); }
    bool stop_requested() const { return stop_signal() != 0; }
    bool hurry() const { return hurry_requested.load(); }
    bool has_worker_ended() const { return worker_gone.load(); }
    /* True when the main thread should stop feeding the plug-in. */
    bool interrupted() const { return stop_requested() || has_worker_ended(); }

    /* Readable from the first stop request or worker end on, for good. */
    int interrupt_fd() const { return pipe_read; }

    template <typename Predicate>
    bool wait_until(Clock::time_point deadline, Predicate done)
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_until(guard, deadline, done);
    }

private:
    void interrupt();

    std::mutex lock;
    std::condition_variable changed;
    std::atomic<int> stop_signal_number{0};
    std::atomic<bool> hurry_requested{false};
    std::atomic<bool> worker_gone{false};
    int pipe_read = -1;
    int pipe_write = -1;
};

class SignalWatch
{
public:
    /* Blocks the three signals in the calling thread, which must be the
     * only thread so far, so that every later thread inherits the mask. */
    explicit SignalWatch(RunEvents &events);
    ~SignalWatch();

    /* What SIGHUP does, on the watch's thread; empty while there is no
     * plug-in to reload. Clearing it waits for a reload under way. */
    void set_reload(std::function<void()> action);

private:
    void watch();

    RunEvents &events;
    sigset_t watched;
    std::mutex reload_lock;
    std::function<void()> reload;
    std::atomic<bool> quitting{false};
    std::thread thread;
};

#endif
