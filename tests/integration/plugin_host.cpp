#include "plugin_host.h"

#include <memory>
#include <stdexcept>

#include <dlfcn.h>

#ifndef TAVRIX_PLUGIN_PATH
#error "TAVRIX_PLUGIN_PATH must name the built plug-in"
#endif

namespace {

std::string loader_error()
{
    const char *text = dlerror();
    return text == nullptr ? "unknown error" : text;
}

} // namespace

PluginLibrary::PluginLibrary()
{
    void *handle = dlopen(TAVRIX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw std::runtime_error("dlopen " TAVRIX_PLUGIN_PATH ": " + loader_error());
    }
    record = static_cast<const agPluginAbi *>(dlsym(handle, "ag_plugin_abi"));
    if (record == nullptr) {
        throw std::runtime_error("no ag_plugin_abi: " + loader_error());
    }
    if (record->magic != AG_PLUGIN_ABI_MAGIC || record->length != sizeof(agPluginAbi) ||
        record->version != AG_PLUGIN_ABI_VERSION) {
        throw std::runtime_error("plug-in built for another host interface");
    }
    init = reinterpret_cast<agPluginInitFunction>(dlsym(handle, "agPluginInit"));
    if (init == nullptr) {
        throw std::runtime_error("no agPluginInit: " + loader_error());
    }
}

const PluginLibrary &PluginLibrary::get()
{
    static const PluginLibrary library;
    return library;
}

LogWatch::LogWatch()
{
    ag_set_debug(true);
    ag_set_log_sink([this](agLogLevel, const std::string &line) {
        {
            std::lock_guard<std::mutex> guard(lock);
            captured.push_back(line);
        }
        grown.notify_all();
    });
}

LogWatch::~LogWatch()
{
    ag_set_log_sink(nullptr);
    ag_set_debug(false);
}

std::vector<std::string> LogWatch::lines() const
{
    std::lock_guard<std::mutex> guard(lock);
    return captured;
}

std::size_t LogWatch::count(const std::string &text) const
{
    std::lock_guard<std::mutex> guard(lock);
    return count_locked(text);
}

std::size_t LogWatch::count_locked(const std::string &text) const
{
    std::size_t found = 0;
    for (const std::string &line : captured) {
        found += line.find(text) != std::string::npos ? 1 : 0;
    }
    return found;
}

bool LogWatch::wait_for(const std::string &text, std::size_t times,
    std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(lock);
    return grown.wait_for(guard, limit, [&] { return count_locked(text) >= times; });
}

HostedPlugin::HostedPlugin(const std::string &tag, const std::string &config_path)
{
    agPlugin *plugin = PluginLibrary::get().entry_point()(tag, {{"config", config_path}});
    if (plugin == nullptr) {
        throw std::runtime_error("agPluginInit refused " + tag);
    }
    instance = dynamic_cast<agPluginSink *>(plugin);
    if (instance == nullptr) {
        delete plugin;
        throw std::runtime_error(tag + " is not a sink");
    }
    instance->Create();
}

HostedPlugin::~HostedPlugin()
{
    stop();
    delete instance;
}

void HostedPlugin::queue(const std::string &bytes, const std::set<std::string> &channels)
{
    instance->QueuePayload(
        std::make_shared<agPluginSinkPayload>(bytes.data(), bytes.size(), channels));
}

void HostedPlugin::reload()
{
    instance->DispatchEvent(agPlugin::EVENT_RELOAD, nullptr);
}

void HostedPlugin::stop()
{
    instance->Terminate();
    instance->Join();
}
