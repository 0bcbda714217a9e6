/*
 * Where the plug-in is when --plugin does not say.
 */
#ifndef TAVRIX_SINK_RUN_PLUGIN_PATH_H
#define TAVRIX_SINK_RUN_PLUGIN_PATH_H

#include <string>

/* The plug-in of the install that holds `stand_in`, the runner's own copy
 * of the host library (empty when that is no path). */
std::string installed_plugin(const std::string &stand_in);

/* The plug-in to load: `given` when not empty, else the installed one,
 * else the one of the build tree the runner was built in. Throws
 * UsageError when there is none to read. */
std::string choose_plugin(const std::string &given);

#endif
