/*
 * The agent's side of the plug-in: the shared library loaded and checked
 * as tavrixd loads it, instances made through its entry point, and the
 * host logger watched for the lines the plug-in writes.
 */
#ifndef TAVRIX_TESTS_INTEGRATION_PLUGIN_HOST_H
#define TAVRIX_TESTS_INTEGRATION_PLUGIN_HOST_H

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <host/tavrixd.h>

/* The built plug-in, dlopened once per process and kept loaded, as the
 * agent keeps its plug-ins. */
class PluginLibrary
{
public:
    static const PluginLibrary &get();

    /* The exported interface record, checked for magic, length and version
     * on load. */
    const agPluginAbi &abi() const { return *record; }
    agPluginInitFunction entry_point() const { return init; }

private:
    PluginLibrary();

    const agPluginAbi *record = nullptr;
    agPluginInitFunction init = nullptr;
};

/* Every line of the host logger, debug lines included, while it exists. */
class LogWatch
{
public:
    LogWatch();
    ~LogWatch();

    LogWatch(const LogWatch &) = delete;
    LogWatch &operator=(const LogWatch &) = delete;

    std::vector<std::string> lines() const;
    /* Lines that contain `text`. */
    std::size_t count(const std::string &text) const;
    /* Waits until `times` lines contain `text`; true if they do. */
    bool wait_for(const std::string &text, std::size_t times = 1,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    std::size_t count_locked(const std::string &text) const;

    mutable std::mutex lock;
    mutable std::condition_variable grown;
    std::vector<std::string> captured;
};

/* One instance, created, started, fed and stopped as the agent does it. */
class HostedPlugin
{
public:
    /* Through the entry point with {"config": config_path}; starts the
     * worker thread. Throws std::runtime_error when refused. */
    HostedPlugin(const std::string &tag, const std::string &config_path);
    /* Stops the worker and deletes the instance. */
    ~HostedPlugin();

    HostedPlugin(const HostedPlugin &) = delete;
    HostedPlugin &operator=(const HostedPlugin &) = delete;

    agPluginSink &sink() { return *instance; }

    void queue(const std::string &bytes, const std::set<std::string> &channels);
    /* The agent's reload signal. */
    void reload();
    /* Asks the worker to end and waits for it. */
    void stop();

private:
    agPluginSink *instance = nullptr;
};

#endif
