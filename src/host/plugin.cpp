#include "host/ag_plugin.h"

agPlugin::agPlugin(const std::string &tag_, uint8_t type_) : tag(tag_), type(type_) {}

void agPlugin::GetLibrary(std::string &library)
{
    library.clear();
}

void agPlugin::GetName(std::string &name)
{
    name.clear();
}

void agPlugin::GetVersion(std::string &version)
{
    version.clear();
}

void agPlugin::GetStatus(nlohmann::json &status)
{
    status["tag"] = tag;
}

void agPlugin::DisplayStatus(const nlohmann::json &) {}

void agPlugin::DispatchEvent(Event, void *) {}
