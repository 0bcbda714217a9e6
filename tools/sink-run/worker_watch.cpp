#include "worker_watch.h"

WorkerWatch::WorkerWatch(agPluginSink &plugin_, RunEvents &events) : plugin(plugin_)
{
    plugin.Create();
    // Join is the host's one way to learn of the worker's end; a second
    // Join (from stop or the plug-in's destructor) waits for this one.
    watcher = std::thread([this, &events] {
        plugin.Join();
        events.worker_ended();
    });
}

WorkerWatch::~WorkerWatch()
{
    if (watcher.joinable()) {
        stop();
    }
}

std::string WorkerWatch::stop()
{
    plugin.Terminate();
    if (watcher.joinable()) {
        watcher.join();
    }
    return plugin.HasFailed() ? plugin.GetFailure() : std::string();
}
