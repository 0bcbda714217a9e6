/*
 * The configuration file the plug-in reads: a private one the runner
 * writes, from the flags alone or from the user's file (--config FILE)
 * with the flags' keys put over its own, and always with report_status
 * on, since the runner learns what the plug-in did from its figures.
 */
#ifndef TAVRIX_SINK_RUN_PLUGIN_CONFIG_H
#define TAVRIX_SINK_RUN_PLUGIN_CONFIG_H

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "config_file.h"
#include "private_file.h"

/* The user's file cannot be merged with the flags: its message is the
 * one line to print. */
class MergeError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class PluginConfig
{
public:
    /* `user_file`: --config FILE, empty for none; `overrides`: the keys the
     * flags set. A FIFO or a pipe is read once, waiting up to `pipe_limit`
     * for its writer. Throws MergeError when the user's file cannot be
     * read or merged, UsageError when it is not a regular file and there
     * are overrides. */
    PluginConfig(const std::string &user_file, const nlohmann::json &overrides,
        std::chrono::milliseconds pipe_limit = std::chrono::seconds(10));

    /* The file the plug-in is to read. */
    const std::string &path() const;
    /* What the user's file held at the start (an empty path when none). */
    const ConfigFile &user_file() const { return user; }
    /* The configuration the plug-in reads first, but for the runner's own
     * keys. */
    const nlohmann::json &contents() const { return initial; }
    /* The keys that come from the flags. */
    const nlohmann::json &overridden() const { return overrides; }

    /* Before a reload: the private file made anew from the user's file,
     * so that the plug-in sees its edits. Throws MergeError and leaves the
     * private file as it was when the user's file cannot be merged, or is
     * a pipe, which was read once at the start. */
    void refresh();

    /* Removes the private file now, for a process that leaves without
     * running destructors. */
    void discard() noexcept;

private:
    nlohmann::json merged(const ConfigFile &file) const;
    void write(const nlohmann::json &configuration);

    ConfigFile user;
    nlohmann::json overrides;
    nlohmann::json initial;
    std::unique_ptr<PrivateFile> copy;
};

#endif
