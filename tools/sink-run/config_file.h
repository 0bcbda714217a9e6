/*
 * The user's configuration file as the runner reads it: a regular file,
 * or a FIFO or pipe (--config <(...)), whose writer may be slow to come
 * and is waited for only so long.
 */
#ifndef TAVRIX_SINK_RUN_CONFIG_FILE_H
#define TAVRIX_SINK_RUN_CONFIG_FILE_H

#include <chrono>
#include <string>

#include <sys/types.h>

#include <nlohmann/json.hpp>

struct ConfigFile {
    std::string path;
    int error = 0;         // errno when it could not be looked at or read
    bool regular = false;  // a regular file
    bool read = false;     // read into `document` (regular, or a pipe that ended in time)
    mode_t mode = 0;       // its permission bits
    nlohmann::json document; // discarded when it is not one JSON value
    std::string parse_error; // the JSON library's message then
};

/* Looks at the file at `path` and reads it, parsing it as the plug-in
 * does (comments ignored): a regular file at once, anything else that can
 * be read until its writer closes it, within `pipe_limit`. */
ConfigFile inspect_config(const std::string &path,
    std::chrono::milliseconds pipe_limit = std::chrono::milliseconds(0));

#endif
