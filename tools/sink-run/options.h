/*
 * The runner's command line.
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
    std::string plugin;             // empty: look beside the program
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

/* Parses the arguments after the program name with getopt_long: flags
 * take their value as the next argument or after "=" (or, short ones,
 * right after the letter), and long ones may be shortened while they
 * stay unambiguous. Throws UsageError. */
Options parse_options(const std::vector<std::string> &arguments);

/* The --help text. */
std::string usage_text();

/* Adds a line to `warnings` when a file with permission bits `mode` that
 * holds `what` can be read by every user. */
void warn_if_exposed(const std::string &path, mode_t mode, const std::string &what,
    std::vector<std::string> &warnings);

#endif
