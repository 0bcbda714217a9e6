#include "host/ag_config.h"

agGlobalConfig *agGlobalConfig::instance = nullptr;

bool agGlobalConfig::LoadUUID(agUUID type, std::string &uuid) const
{
    std::lock_guard<std::mutex> guard(uuid_lock);
    auto found = uuids.find(type);
    if (found == uuids.end()) {
        uuid.clear();
        return false;
    }
    uuid = found->second;
    return true;
}

void agGlobalConfig::SetUUID(agUUID type, const std::string &uuid)
{
    std::lock_guard<std::mutex> guard(uuid_lock);
    uuids[type] = uuid;
}
