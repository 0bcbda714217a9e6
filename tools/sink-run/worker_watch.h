/*
 * Tells the runner when the plug-in's worker thread has ended, whether
 * asked to or by an exception, by waiting for it on a thread of its own.
 */
#ifndef TAVRIX_SINK_RUN_WORKER_WATCH_H
#define TAVRIX_SINK_RUN_WORKER_WATCH_H

#include <chrono>
#include <string>
#include <thread>

#include <host/tavrixd.h>

#include "run_events.h"

class WorkerWatch
{
public:
    /* Starts the plug-in's worker and the watch over it. */
    WorkerWatch(agPluginSink &plugin, RunEvents &events);
    /* Asks the worker to end and waits for it, as stop_or_exit. */
    ~WorkerWatch();

    /* How long a stop waits for the worker: its passes end within the
     * 1 s select time-out, but a blocking connect may take minutes. */
    static constexpr std::chrono::milliseconds STOP_LIMIT{2000};

    WorkerWatch(const WorkerWatch &) = delete;
    WorkerWatch &operator=(const WorkerWatch &) = delete;

    /* Asks the worker to end and waits up to `bound`; true when it ended. */
    bool stop(std::chrono::milliseconds bound);
    /* Asks the worker to end and returns its failure message (empty when
     * it ended as asked); when it is still running after `bound`, says so
     * and ends the process at once with `status`. */
    std::string stop_or_exit(std::chrono::milliseconds bound, int status);

private:
    agPluginSink &plugin;
    RunEvents &events;
    std::thread watcher;
};

#endif
