/*
 * The record a plug-in exports as `ag_plugin_abi`, so that a host can tell
 * before calling anything whether the plug-in was built for it.
 */
#ifndef TAVRIX_HOST_AG_PLUGIN_ABI_H
#define TAVRIX_HOST_AG_PLUGIN_ABI_H

#include <cstdint>

#define AG_PLUGIN_ABI_MAGIC 0x41504142u /* "BAPA" read little-endian */
#define AG_PLUGIN_ABI_VERSION 15u       /* the host library's major version */

struct agPluginAbi {
    uint32_t magic;
    uint32_t length; /* of the whole record, in bytes */
    uint32_t version;
    uint32_t stamp;
    uint32_t values[4];
};

static_assert(sizeof(agPluginAbi) == 32, "the record is eight 32-bit words");

#endif
