/*
 * What the runner says at start about a configuration that the plug-in
 * takes without a word but that cannot work as meant: a missing topic,
 * half of the credentials, a port or QoS nothing answers to, a password
 * that every user can read.
 */
#ifndef TAVRIX_SINK_RUN_CONFIG_CHECKS_H
#define TAVRIX_SINK_RUN_CONFIG_CHECKS_H

#include <string>
#include <vector>

#include <sys/types.h>

#include <nlohmann/json.hpp>

class PluginConfig;

/* One line for each problem of `configuration`, read as the plug-in
 * reads it (a key of the wrong type keeps the default). */
std::vector<std::string> configuration_warnings(const nlohmann::json &configuration);

/* A line when a file with permission bits `mode` that holds `what` can
 * be read by every user; empty when it cannot. */
std::string exposure_warning(const std::string &path, mode_t mode, const std::string &what);

/* Everything to say at start about the plug-in's configuration and the
 * user's file. */
std::vector<std::string> startup_warnings(const PluginConfig &config);

#endif
