/*
 * Where the plug-in is when --plugin does not say.
 */
#ifndef TAVRIX_SINK_RUN_PLUGIN_PATH_H
#define TAVRIX_SINK_RUN_PLUGIN_PATH_H

#include <string>
#include <vector>

/* The places to look, in order, for a program whose directory is
 * `program_dir`: the installed layout beside it, then the build tree it
 * was built in. */
std::vector<std::string> plugin_candidates(const std::string &program_dir);

/* The directory of the running program; empty when it cannot be told. */
std::string program_directory();

/* The plug-in to load: `given` when not empty, else the first readable
 * candidate. Throws UsageError when there is none to read. */
std::string choose_plugin(const std::string &given);

#endif
