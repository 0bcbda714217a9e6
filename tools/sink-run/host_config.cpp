#include "host_config.h"

#include "agent_uuid.h"

HostConfig::HostConfig(const Options &options)
{
    config.SetUUID(UUID_AGENT,
        options.uuid_agent.empty() ? default_agent_uuid() : options.uuid_agent);
    // UUIDs nobody gave stay unknown, as the agent leaves them.
    if (!options.uuid_site.empty()) {
        config.SetUUID(UUID_SITE, options.uuid_site);
    }
    if (!options.uuid_serial.empty()) {
        config.SetUUID(UUID_SERIAL, options.uuid_serial);
    }
    config.conf_vars = options.variables;
    agGlobalConfig::instance = &config;
}

HostConfig::~HostConfig()
{
    agGlobalConfig::instance = nullptr;
}

std::string HostConfig::agent_uuid() const
{
    std::string uuid;
    config.LoadUUID(UUID_AGENT, uuid);
    return uuid;
}
