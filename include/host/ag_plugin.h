/*
 * Plug-in base classes and the payload record.
 */
#ifndef TAVRIX_HOST_AG_PLUGIN_H
#define TAVRIX_HOST_AG_PLUGIN_H

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "ag_api.h"
#include "ag_thread.h"

class AG_API agPlugin : public agThread
{
public:
    enum Event : int {
        EVENT_RELOAD = 0,
    };

    agPlugin(const std::string &tag, uint8_t type);

    virtual void GetLibrary(std::string &library);
    virtual void GetName(std::string &name);
    virtual void GetVersion(std::string &version);
    virtual void GetStatus(nlohmann::json &status);
    virtual void DisplayStatus(const nlohmann::json &status);
    virtual void DispatchEvent(Event event, void *param);

    const std::string &GetTag() const { return tag; }
    uint8_t GetType() const { return type; }

protected:
    std::string tag;
    uint8_t type;
};

/* One rendered payload; owns a copy of its bytes. */
class AG_API agPluginSinkPayload
{
public:
    agPluginSinkPayload(const void *data, uint64_t length, std::set<std::string> channels);
    ~agPluginSinkPayload();

    agPluginSinkPayload(const agPluginSinkPayload &) = delete;
    agPluginSinkPayload &operator=(const agPluginSinkPayload &) = delete;

    uint64_t length;
    uint8_t *data;
    std::set<std::string> channels;
};

class AG_API agPluginSink : public agPlugin
{
public:
#ifdef TAVRIX_HOST_SIDE
    /* Payloads a queue holds before QueuePayload starts dropping. */
    static constexpr std::size_t DEFAULT_QUEUE_LIMIT = 65536;
#endif

    /* Parameters: "type" (decimal 0 to 255, 1 when absent) and "config"
     * (the configuration file path). A malformed type throws agException. */
    agPluginSink(const std::string &tag, const std::map<std::string, std::string> &params);

    /* Host side: queues a payload, or drops and counts it when the queue
     * is full. Never blocks on the plug-in. */
    virtual void QueuePayload(const std::shared_ptr<agPluginSinkPayload> &payload);

    /* Plug-in side: the number of waiting payloads, waiting up to `ms`
     * milliseconds for one when none waits (0: answer at once). */
    uint64_t WaitOnPayloadQueue(unsigned ms);

    /* Plug-in side: moves the oldest payload into `payload`; false when the
     * queue is empty. */
    bool PopPayloadQueue(std::shared_ptr<agPluginSinkPayload> &payload);

#ifdef TAVRIX_HOST_SIDE
    /* Host side: queue bound, depth and counters. */
    void SetPayloadQueueLimit(std::size_t limit);
    std::size_t GetPayloadQueueDepth();
    /* Waits up to `ms` milliseconds until the queue has room (or, with
     * depth 0, is empty); true when it has. */
    bool WaitForPayloadQueueDepth(std::size_t depth, unsigned ms);
    uint64_t GetPayloadsQueued();
    uint64_t GetPayloadsDropped();
#endif

    const std::string &GetConfigPath() const { return config_path; }

protected:
    std::string config_path;

private:
    std::mutex queue_lock;
    std::condition_variable queue_filled;
    std::condition_variable queue_drained;
    std::deque<std::shared_ptr<agPluginSinkPayload>> queue;
    std::size_t queue_limit;
    uint64_t queued = 0;
    uint64_t dropped = 0;
};

#endif
