/*
 * A library that looks like a plug-in but was built for another host: its
 * interface record differs in the field BAD_FIELD names. The runner must
 * refuse it before it calls anything in it.
 */
#include <cstdlib>

#include <host/tavrixd.h>

#define BAD_MAGIC 1
#define BAD_VERSION 2

#define EXPORT __attribute__((visibility("default")))

extern "C" {

EXPORT extern const agPluginAbi ag_plugin_abi;
const agPluginAbi ag_plugin_abi = {
    BAD_FIELD == BAD_MAGIC ? 0xdeadbeefu : AG_PLUGIN_ABI_MAGIC,
    sizeof(agPluginAbi),
    BAD_FIELD == BAD_VERSION ? AG_PLUGIN_ABI_VERSION - 1 : AG_PLUGIN_ABI_VERSION,
    0x20230309,
    {1, 0, 2912, 72},
};

EXPORT agPlugin *agPluginInit(const std::string &, const std::map<std::string, std::string> &);

agPlugin *agPluginInit(const std::string &, const std::map<std::string, std::string> &)
{
    // Reaching this means the record was not checked.
    std::abort();
}

} // extern "C"
