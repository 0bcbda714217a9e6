/*
 * The library's two exports: the entry point and the interface record.
 */
#include <host/tavrixd.h>

#include "asp_plugin.h"

#define PLUGIN_EXPORT __attribute__((visibility("default")))

extern "C" {

PLUGIN_EXPORT extern const agPluginAbi ag_plugin_abi;
const agPluginAbi ag_plugin_abi = {
    AG_PLUGIN_ABI_MAGIC,
    sizeof(agPluginAbi),
    AG_PLUGIN_ABI_VERSION,
    0x20230309,
    {1, 0, 2912, 72},
};

PLUGIN_EXPORT agPlugin *agPluginInit(const std::string &tag,
    const std::map<std::string, std::string> &params);

agPlugin *agPluginInit(const std::string &tag, const std::map<std::string, std::string> &params)
{
    agPlugin *plugin = new aspPlugin(tag, params);
    uint8_t type = plugin->GetType();
    if (type == 1 || type == 2) {
        return plugin;
    }
    ag_printf("Invalid plugin type: %s [%u]\n", tag.c_str(), static_cast<unsigned>(type));
    delete plugin;
    return nullptr;
}

} // extern "C"
