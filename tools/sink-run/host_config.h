/*
 * The host's global configuration for the run, filled as the agent would
 * fill it: the three UUIDs and the configuration variables.
 */
#ifndef TAVRIX_SINK_RUN_HOST_CONFIG_H
#define TAVRIX_SINK_RUN_HOST_CONFIG_H

#include <string>

#include <host/tavrixd.h>

#include "options.h"

class HostConfig
{
public:
    /* Fills the configuration and makes it the host's instance. */
    explicit HostConfig(const Options &options);
    ~HostConfig();

    HostConfig(const HostConfig &) = delete;
    HostConfig &operator=(const HostConfig &) = delete;

    std::string agent_uuid() const;

private:
    agGlobalConfig config;
};

#endif
