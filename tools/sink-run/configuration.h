/*
 * The configuration file the plug-in reads: a private one the runner
 * writes, from the flags alone or from the user's file (--config FILE)
 * with the flags' keys put over its own, and always with report_status
 * on, since the runner learns what the plug-in did from its figures. It
 * may hold a password: only this user can read it (mode 0600, in a
 * directory of mode 0700 of its own), and it goes with its directory
 * when the runner does.
 *
 * And what the runner says at start about a configuration that the
 * plug-in takes without a word but that cannot work as meant: a missing
 * topic, half of the credentials, a port or QoS nothing answers to, a
 * password that every user can read.
 */
#ifndef TAVRIX_SINK_RUN_CONFIGURATION_H
#define TAVRIX_SINK_RUN_CONFIGURATION_H

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

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
     * flags set. A FIFO or a pipe (--config <(...)) is read once, waiting
     * up to `pipe_limit` for its writer. Throws MergeError when the user's
     * file cannot be read or merged, UsageError when it is not a regular
     * file and there are overrides. */
    PluginConfig(const std::string &user_file, const nlohmann::json &overrides,
        std::chrono::milliseconds pipe_limit = std::chrono::seconds(10));
    ~PluginConfig();

    const std::string &path() const { return file_path; }
    /* The configuration the plug-in reads first, but for the runner's own
     * keys. */
    const nlohmann::json &contents() const { return initial; }
    const nlohmann::json &overridden() const { return overrides; }
    const std::vector<std::string> &warnings() const { return start_warnings; }
    /* The configuration the run starts with sets a spool_dir. */
    bool spooled() const;

    /* Before a reload: the private file made anew from the user's file,
     * so that the plug-in sees its edits. Throws MergeError and leaves the
     * private file as it was when the user's file cannot be merged, or is
     * a pipe, which was read once at the start. */
    void refresh();

    /* Removes the private file now, for a process that leaves without
     * running destructors; later writes do nothing. Safe from any thread. */
    void discard() noexcept;

private:
    void write(nlohmann::json configuration);

    std::string user_path;
    bool user_regular = false;
    nlohmann::json overrides;
    nlohmann::json initial;
    std::vector<std::string> start_warnings;
    std::mutex lock; // a refresh on the signal thread against a discard
    std::string directory;
    std::string file_path;
    bool removed = false;
};

/* One line for each problem of `configuration`, read as the plug-in
 * reads it (a key of the wrong type keeps the default). */
std::vector<std::string> configuration_warnings(const nlohmann::json &configuration);

#endif
