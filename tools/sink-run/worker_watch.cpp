#include "worker_watch.h"

#include <cstdio>
#include <unistd.h>

WorkerWatch::WorkerWatch(agPluginSink &plugin_, RunEvents &events_)
    : plugin(plugin_), events(events_)
{
    plugin.Create();
    // Join is the host's one way to learn of the worker's end; a second
    // Join (from stop or the plug-in's destructor) waits for this one.
    watcher = std::thread([this] {
        plugin.Join();
        events.worker_ended();
    });
}

WorkerWatch::~WorkerWatch()
{
    if (watcher.joinable()) {
        stop_or_exit(STOP_LIMIT, EXIT_FAILURE);
    }
}

bool WorkerWatch::stop(std::chrono::milliseconds bound)
{
    plugin.Terminate();
    bool ended = events.wait_until(Clock::now() + bound, [this] { return events.has_worker_ended(); });
    if (!ended) {
        return false;
    }
    if (watcher.joinable()) {
        watcher.join();
    }
    return true;
}

std::string WorkerWatch::stop_or_exit(std::chrono::milliseconds bound, int status)
{
    if (!stop(bound)) {
        // The worker is stuck inside the library (a blocking connect, say):
        // unloading it or running destructors under it would crash, so
        // leave without either.
        std::fprintf(stderr, "tavrix-sink-run: the plug-in's worker did not end within %lld ms;"
                             " leaving it behind\n",
            static_cast<long long>(bound.count()));
        std::fflush(stderr);
        _exit(status);
    }
    return plugin.HasFailed() ? plugin.GetFailure() : std::string();
}
