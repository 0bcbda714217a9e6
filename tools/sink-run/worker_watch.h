/*
 * Tells the runner when the plug-in's worker thread has ended, whether
 * asked to or by an exception, by waiting for it on a thread of its own.
 */
#ifndef TAVRIX_SINK_RUN_WORKER_WATCH_H
#define TAVRIX_SINK_RUN_WORKER_WATCH_H

#include <string>
#include <thread>

#include <host/tavrixd.h>

#include "run_events.h"

class WorkerWatch
{
public:
    /* Starts the plug-in's worker and the watch over it. */
    WorkerWatch(agPluginSink &plugin, RunEvents &events);
    /* Asks the worker to end and waits until it has. */
    ~WorkerWatch();

    WorkerWatch(const WorkerWatch &) = delete;
    WorkerWatch &operator=(const WorkerWatch &) = delete;

    /* Asks the worker to end, waits, and returns its failure message
     * (empty when it ended as asked). */
    std::string stop();

private:
    agPluginSink &plugin;
    std::thread watcher;
};

#endif
