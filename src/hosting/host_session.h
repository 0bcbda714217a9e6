/*
 * The agent's side of a hosted plug-in: the global configuration and the
 * logger installed for the session's life, and instances created,
 * started and stopped within a time bound as the agent does it.
 */
#ifndef TAVRIX_HOSTING_HOST_SESSION_H
#define TAVRIX_HOSTING_HOST_SESSION_H

#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include <host/tavrixd.h>

#include "plugin_library.h"
#include "sink_status.h"

/* The agent's identity and configuration variables ("${name}" to value).
 * A UUID left empty stays unknown, as the agent leaves it. */
struct HostIdentity {
    std::string uuid_agent;
    std::string uuid_site;
    std::string uuid_serial;
    std::map<std::string, std::string> variables;
};

class HostSession
{
public:
    /* Makes `identity` the host's global configuration and routes every
     * log line to `sink` (standard error when empty); debug output only
     * when `debug`. One session per process at a time. */
    HostSession(const HostIdentity &identity, agLogSink sink, bool debug);
    /* Back to no configuration, standard error, no debug output. */
    ~HostSession();

    agGlobalConfig &config() { return global; }
    std::string agent_uuid() const;

private:
    agGlobalConfig global;
};

/* One instance made through the entry point, its worker started at once;
 * `worker_ended` runs on a thread of the instance's own when the worker
 * has ended, asked to or by an exception. */
class HostedPlugin
{
public:
    /* How long a stop waits by default: a worker's pass ends within its 1 s
     * select time-out, but a name lookup whose DNS server does not answer,
     * or a configuration file that blocks, may hold it far longer. */
    static constexpr std::chrono::milliseconds STOP_LIMIT{2000};

    HostedPlugin(PluginLibrary &library, const std::string &tag,
        const std::map<std::string, std::string> &params,
        std::function<void()> worker_ended = nullptr);
    /* Stops the worker (within STOP_LIMIT) and deletes the instance; a
     * worker still running then is left behind with its instance. */
    ~HostedPlugin();

    agPluginSink &sink() { return *instance; }

    void queue(const std::string &bytes, const std::set<std::string> &channels);
    /* The instance's own figures (report_status on in its configuration). */
    SinkStatus status() { return sink_status(*instance, tag); }
    void reload(); // the agent's reload event
    /* Asks the worker to end and waits up to `bound`; true when it ended. */
    bool stop(std::chrono::milliseconds bound = STOP_LIMIT);
    bool worker_ended();
    /* After a stop: the exception that ended the worker, empty if none. */
    std::string failure();

private:
    const std::string tag;
    agPluginSink *instance;
    std::function<void()> on_end;
    std::mutex lock;
    std::condition_variable ended;
    bool has_ended = false;
    std::thread watcher;
};

#endif
