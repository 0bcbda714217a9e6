/*
 * The host interface of tavrixd (libtavrixd.so.15), as plug-ins and hosts
 * compile against it.
 */
#ifndef TAVRIX_HOST_TAVRIXD_H
#define TAVRIX_HOST_TAVRIXD_H

#include "ag_api.h"
#include "ag_config.h"
#include "ag_exception.h"
#include "ag_log.h"
#include "ag_plugin.h"
#include "ag_plugin_abi.h"
#include "ag_thread.h"
#include "ag_variables.h"

#include <map>
#include <string>

/* The entry point every plug-in exports, unmangled. */
extern "C" {
typedef agPlugin *(*agPluginInitFunction)(const std::string &tag,
    const std::map<std::string, std::string> &params);
}

#endif
