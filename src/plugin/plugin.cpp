#include "asp_plugin.h"

#include <mosquitto.h>

#include "global_ref.h"

// Every member has its default where it is declared (the configuration's
// in config_keys.def).
aspPlugin::aspPlugin(const std::string &tag_, const std::map<std::string, std::string> &params)
    : agPluginSink(tag_, params)
{
    uint32_t ref = mq_global_acquire();
    try {
        int major = 0, minor = 0, revision = 0;
        mosquitto_lib_version(&major, &minor, &revision);
        ag_dprintf("%s: initialized, libmosquitto v%d.%d.%d [ref#%u]\n", tag.c_str(), major,
            minor, revision, ref);
    } catch (...) {
        // No destructor runs for a constructor that throws: give the
        // reference back here, or libmosquitto would never be cleaned up.
        mq_global_release();
        throw;
    }
}

aspPlugin::~aspPlugin()
{
    Join();
    ag_dprintf("%s: destroyed\n", tag.c_str());
    // libmosquitto's copies go with the client, and the record's with it;
    // a spool still holds their payloads, not done.
    if (std::size_t unconfirmed = record.Unconfirmed(); unconfirmed > 0) {
        ag_printf("%s: dropped %zu unconfirmed publishes (%llu bytes) with the instance%s\n",
            tag.c_str(), unconfirmed, static_cast<unsigned long long>(record.Bytes()),
            spool.Healthy() ? "; the spool keeps their payloads for the next start" : "");
    }
    mqReset();
    if (mosq != nullptr) {
        mosquitto_destroy(mosq);
        mosq = nullptr;
    }
    mq_global_release();
}

void aspPlugin::GetLibrary(std::string &library)
{
    library = LIBRARY;
}

void aspPlugin::GetName(std::string &name)
{
    name = NAME;
}

void aspPlugin::GetVersion(std::string &version)
{
    version = VERSION;
}

// Off unless configured: the agent's document then comes back as it was.
// The figures go under the instance's tag, so that instances sharing one
// document keep theirs apart.
void aspPlugin::GetStatus(nlohmann::json &document)
{
    if (!status.IsEnabled() || !(document.is_null() || document.is_object())) {
        return;
    }
    document[tag] = status.Figures();
}

void aspPlugin::DisplayStatus(const nlohmann::json &) {}

void aspPlugin::DispatchEvent(agPlugin::Event event, void *)
{
    if (event == agPlugin::EVENT_RELOAD) {
        reload_pending.exchange(true);
        wakeup.Wake();
    }
}

void aspPlugin::Terminate()
{
    agThread::Terminate();
    wakeup.Wake();
}

void aspPlugin::QueuePayload(const std::shared_ptr<agPluginSinkPayload> &payload)
{
    agPluginSink::QueuePayload(payload);
    wakeup.WakeIfArmed();
}
