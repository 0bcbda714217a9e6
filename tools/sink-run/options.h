/*
 * The runner's command line: one table of flags, from which getopt_long's
 * options and the --help text are made, and where the password comes
 * from. Most connection, TLS, credential and topic flags take
 * mosquitto_pub's names and set one key of the plug-in's configuration;
 * the rest are the runner's own.
 */
#ifndef TAVRIX_SINK_RUN_OPTIONS_H
#define TAVRIX_SINK_RUN_OPTIONS_H

#include <map>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include <sys/types.h>

#include <nlohmann/json.hpp>

struct Options {
    std::string plugin;             // empty: the installed one, else the build tree's
    std::string config;             // empty: the flags make the configuration
    /* The configuration keys the flags set, with their values; with a
     * configuration file, they override its own. */
    nlohmann::json settings = nlohmann::json::object();
    std::string password;           // -P
    std::string password_file;      // --pw-file
    std::set<std::string> channels; // every payload goes to each of them
    std::string uuid_agent;         // empty: derived from the machine
    std::string uuid_site;
    std::string uuid_serial;
    std::map<std::string, std::string> variables; // "${NAME}" to value
    std::string input;              // empty or "-": standard input
    bool whole = false;
    bool stats = false;
    bool debug = false;
    bool help = false;
    bool version = false;
    double connect_timeout = 10.0; // seconds
};

/* A flag the runner cannot use; its message is the one line to print. */
class UsageError : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

/* The groups of --help, in its order. */
enum class FlagGroup {
    CONNECTION,
    TLS,
    CREDENTIALS,
    TOPIC,
    LIVENESS,
    SPOOL,
    INPUT,
    IDENTITY,
    RUNNER
};

struct Flag {
    const char *name;  // the long name, without "--"
    char letter;       // the short name, or 0
    const char *value; // the value's name in --help; null when it takes none
    FlagGroup group;
    /* What one of the runner's own flags does to the options. */
    void (*apply)(Options &options, const std::string &label, const std::string &value);
    const char *help; // its --help text; a key flag's gets the key's mark and default
    /* The configuration key it gives a value, or null. `convert` makes the
     * key's value of the flag's (a flag without value gets an empty one);
     * the password flags leave it null: their key's value is found later. */
    const char *key = nullptr;
    nlohmann::json (*convert)(const std::string &label, const std::string &value) = nullptr;
};

const std::vector<Flag> &all_flags();

/* Parses the arguments after the program name with getopt_long: flags
 * take their value as the next argument or after "=" (or, short ones,
 * right after the letter), and long ones may be shortened while they
 * stay unambiguous. Throws UsageError; what getopt_long refuses it names
 * itself on standard error first. */
Options parse_options(const std::vector<std::string> &arguments);

std::string usage_text();

constexpr const char *PASSWORD_VARIABLE = "TAVRIX_SINK_RUN_PASSWORD";

/* The keys the runner puts over the configuration: the flags' settings
 * and, as "pass", the password from --pw-file, else -P, else
 * `environment_password` (PASSWORD_VARIABLE's value; null or empty: none).
 * A password on the command line, or in a file every user can read, adds
 * a line to `warnings`. Throws UsageError for a password file that cannot
 * be read or whose first line is empty. */
nlohmann::json configuration_overrides(const Options &options, const char *environment_password,
    std::vector<std::string> &warnings);

/* Adds a line to `warnings` when a file with permission bits `mode` that
 * holds `what` can be read by every user. */
void warn_if_exposed(const std::string &path, mode_t mode, const std::string &what,
    std::vector<std::string> &warnings);

#endif
