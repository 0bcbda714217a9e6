/*
 * The configuration file the plug-in reads: the user's own (--config
 * FILE), or a private one the runner writes, from the flags alone or
 * from FILE with the flags' keys put over its own.
 */
#ifndef TAVRIX_SINK_RUN_PLUGIN_CONFIG_H
#define TAVRIX_SINK_RUN_PLUGIN_CONFIG_H

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
     * flags set. The user's file itself when there are no overrides, else
     * a private file. Throws MergeError when the user's file cannot be
     * read or merged, UsageError when it is not a regular file (a FIFO, a
     * pipe) and there are overrides. */
    PluginConfig(const std::string &user_file, const nlohmann::json &overrides);

    /* The file the plug-in is to read. */
    const std::string &path() const;
    /* What the user's file held at the start (an empty path when none). */
    const ConfigFile &user_file() const { return user; }
    /* The configuration the plug-in reads first; discarded when the
     * runner cannot tell (a user's file that is not regular, or not JSON). */
    const nlohmann::json &contents() const { return initial; }
    /* The keys that come from the flags. */
    const nlohmann::json &overridden() const { return overrides; }

    /* Before a reload: the private file made anew from the user's file,
     * so that the plug-in sees its edits. Throws MergeError and leaves the
     * private file as it was when the user's file cannot be merged. */
    void refresh();

    /* Removes the private file now, for a process that leaves without
     * running destructors. */
    void discard() noexcept;

private:
    nlohmann::json merged(const ConfigFile &file) const;

    ConfigFile user;
    nlohmann::json overrides;
    nlohmann::json initial;
    std::unique_ptr<PrivateFile> copy; // null: the plug-in reads the user's file
};

#endif
