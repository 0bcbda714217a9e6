/*
 * The agent's global configuration: its UUIDs and configuration variables.
 */
#ifndef TAVRIX_HOST_AG_CONFIG_H
#define TAVRIX_HOST_AG_CONFIG_H

#include <map>
#include <mutex>
#include <string>

#include "ag_api.h"
#include "ag_exception.h"

enum agUUID {
    UUID_AGENT = 1,
    UUID_SITE = 2,
    UUID_SERIAL = 3,
};

class AG_API agGlobalConfig
{
public:
    /* The host constructs one configuration and points this at it. */
    static agGlobalConfig *instance;

    static agGlobalConfig &GetInstance()
    {
        if (instance == nullptr) {
            throw agException("%s: instance not found",
                "static agGlobalConfig &agGlobalConfig::GetInstance()");
        }
        return *instance;
    }

    /* Writes the UUID's text into `uuid`; an unknown UUID leaves it empty
     * and returns false. */
    bool LoadUUID(agUUID type, std::string &uuid) const;

#ifdef TAVRIX_HOST_SIDE
    /* Host side: stores the text that LoadUUID returns. */
    void SetUUID(agUUID type, const std::string &uuid);
#endif

    /* Variable key, written whole ("${name}"), to its value. The host fills
     * it before starting any plug-in thread. */
    std::map<std::string, std::string> conf_vars;

private:
    mutable std::mutex uuid_lock;
    std::map<int, std::string> uuids;
};

#endif
