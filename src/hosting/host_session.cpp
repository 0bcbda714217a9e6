#include "host_session.h"

HostSession::HostSession(const HostIdentity &identity, agLogSink sink, bool debug)
{
    global.SetUUID(UUID_AGENT, identity.uuid_agent);
    if (!identity.uuid_site.empty()) {
        global.SetUUID(UUID_SITE, identity.uuid_site);
    }
    if (!identity.uuid_serial.empty()) {
        global.SetUUID(UUID_SERIAL, identity.uuid_serial);
    }
    global.conf_vars = identity.variables;
    agGlobalConfig::instance = &global;
    ag_set_log_sink(std::move(sink));
    ag_set_debug(debug);
}

HostSession::~HostSession()
{
    ag_set_debug(false);
    ag_set_log_sink(agLogSink());
    agGlobalConfig::instance = nullptr;
}

std::string HostSession::agent_uuid() const
{
    std::string uuid;
    global.LoadUUID(UUID_AGENT, uuid);
    return uuid;
}

HostedPlugin::HostedPlugin(PluginLibrary &library, const std::string &tag_,
    const std::map<std::string, std::string> &params, std::function<void()> worker_ended)
    : tag(tag_), instance(library.create(tag_, params)), on_end(std::move(worker_ended))
{
    instance->Create();
    // Join is the host's one way to learn of the worker's end; a second
    // Join (the instance's destructor) waits for this one.
    watcher = std::thread([this] {
        instance->Join();
        {
            std::lock_guard<std::mutex> guard(lock);
            has_ended = true;
        }
        ended.notify_all();
        if (on_end) {
            on_end();
        }
    });
}

HostedPlugin::~HostedPlugin()
{
    if (!stop()) {
        // The worker is stuck inside a call that does not return (a name
        // lookup, a read of its configuration): deleting the instance
        // under it would crash.
        watcher.detach();
        return;
    }
    watcher.join();
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

bool HostedPlugin::stop(std::chrono::milliseconds bound)
{
    instance->Terminate();
    std::unique_lock<std::mutex> guard(lock);
    return ended.wait_for(guard, bound, [this] { return has_ended; });
}

bool HostedPlugin::worker_ended()
{
    std::lock_guard<std::mutex> guard(lock);
    return has_ended;
}

std::string HostedPlugin::failure()
{
    return worker_ended() && instance->HasFailed() ? instance->GetFailure() : std::string();
}
