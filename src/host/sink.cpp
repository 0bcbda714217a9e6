#include "host/ag_plugin.h"

#include <chrono>
#include <cstring>

#include "host/ag_exception.h"

namespace {

uint8_t parse_type(const std::string &tag, const std::map<std::string, std::string> &params)
{
    auto found = params.find("type");
    if (found == params.end()) {
        return 1;
    }
    const std::string &text = found->second;
    unsigned value = 0;
    bool digits = !text.empty() && text.size() <= 3;
    for (char c : text) {
        digits = digits && c >= '0' && c <= '9';
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (!digits || value > 255) {
        throw agException("%s: invalid plugin type: \"%s\" (expected 0 to 255)", tag.c_str(),
            text.c_str());
    }
    return static_cast<uint8_t>(value);
}

std::string config_path_of(const std::map<std::string, std::string> &params)
{
    auto found = params.find("config");
    return found == params.end() ? std::string() : found->second;
}

} // namespace

agPluginSinkPayload::agPluginSinkPayload(const void *bytes, uint64_t length_,
    std::set<std::string> channels_)
    : length(length_), data(nullptr), channels(std::move(channels_))
{
    if (length > 0) {
        data = new uint8_t[length];
        std::memcpy(data, bytes, length);
    }
}

agPluginSinkPayload::~agPluginSinkPayload()
{
    delete[] data;
}

agPluginSink::agPluginSink(const std::string &tag_, const std::map<std::string, std::string> &params)
    : agPlugin(tag_, parse_type(tag_, params)), config_path(config_path_of(params)),
      queue_limit(DEFAULT_QUEUE_LIMIT)
{
}

void agPluginSink::QueuePayload(const std::shared_ptr<agPluginSinkPayload> &payload)
{
    {
        std::lock_guard<std::mutex> guard(queue_lock);
        // A null payload would reach the plug-in's worker; it counts as dropped.
        if (!payload || queue.size() >= queue_limit) {
            ++dropped;
            return;
        }
        queue.push_back(payload);
        ++queued;
    }
    queue_filled.notify_one();
}

uint64_t agPluginSink::WaitOnPayloadQueue(unsigned ms)
{
    std::unique_lock<std::mutex> guard(queue_lock);
    if (queue.empty() && ms > 0) {
        queue_filled.wait_for(guard, std::chrono::milliseconds(ms),
            [this] { return !queue.empty(); });
    }
    return queue.size();
}

bool agPluginSink::PopPayloadQueue(std::shared_ptr<agPluginSinkPayload> &payload)
{
    std::shared_ptr<agPluginSinkPayload> previous;
    {
        std::lock_guard<std::mutex> guard(queue_lock);
        if (queue.empty()) {
            return false;
        }
        // The payload the handle held is released outside the lock, so a
        // large one never holds up the host's producers.
        previous = std::move(payload);
        payload = std::move(queue.front());
        queue.pop_front();
    }
    queue_drained.notify_all();
    return true;
}

void agPluginSink::SetPayloadQueueLimit(std::size_t limit)
{
    std::lock_guard<std::mutex> guard(queue_lock);
    queue_limit = limit;
}

std::size_t agPluginSink::GetPayloadQueueDepth()
{
    std::lock_guard<std::mutex> guard(queue_lock);
    return queue.size();
}

bool agPluginSink::WaitForPayloadQueueDepth(std::size_t depth, unsigned ms)
{
    std::unique_lock<std::mutex> guard(queue_lock);
    auto below = [this, depth] { return queue.size() < depth || queue.empty(); };
    return queue_drained.wait_for(guard, std::chrono::milliseconds(ms), below);
}

uint64_t agPluginSink::GetPayloadsQueued()
{
    std::lock_guard<std::mutex> guard(queue_lock);
    return queued;
}

uint64_t agPluginSink::GetPayloadsDropped()
{
    std::lock_guard<std::mutex> guard(queue_lock);
    return dropped;
}
