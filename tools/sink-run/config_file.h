/*
 * What the runner can learn of the user's configuration file without
 * taking anything from the plug-in: a FIFO or a pipe is never opened, as
 * opening one meets its writer and reading it takes the content the
 * plug-in waits for.
 */
#ifndef TAVRIX_SINK_RUN_CONFIG_FILE_H
#define TAVRIX_SINK_RUN_CONFIG_FILE_H

#include <string>

#include <sys/types.h>

#include <nlohmann/json.hpp>

struct ConfigFile {
    std::string path;
    int error = 0;         // errno when it could not be looked at or read
    bool regular = false;  // a regular file, read into `document`
    mode_t mode = 0;       // its permission bits
    nlohmann::json document; // discarded when it is not one JSON value
    std::string parse_error; // the JSON library's message then
};

/* Looks at the file at `path` and reads it when it is a regular file,
 * parsing it as the plug-in does (comments ignored). */
ConfigFile inspect_config(const std::string &path);

#endif
