/*
 * Every flag of the runner in one table: its names, its line in --help,
 * and what it does. Most of the connection, TLS, credential and topic
 * flags take mosquitto_pub's names and set one key of the plug-in's
 * configuration; the rest are the runner's own.
 */
#ifndef TAVRIX_SINK_RUN_FLAGS_H
#define TAVRIX_SINK_RUN_FLAGS_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

struct Options;

/* The groups of --help, in its order. */
enum class FlagGroup { CONNECTION, TLS, CREDENTIALS, TOPIC, INPUT, IDENTITY, RUNNER };

struct Flag {
    const char *name;  // the long name, without "--"
    char letter;       // the short name, or 0
    const char *value; // the value's name in --help; null when it takes none
    FlagGroup group;
    const char *help;  // its --help text; "\n" goes on in the text's column
    /* A configuration flag: the key it sets and the key's value made of
     * the flag's (a flag without value gets an empty one). */
    const char *key;
    nlohmann::json (*convert)(const std::string &label, const std::string &value);
    /* A runner flag: what it does to the options. */
    void (*apply)(Options &options, const std::string &label, const std::string &value);
};

/* Every flag, in the order of --help. */
const std::vector<Flag> &all_flags();

/* How messages name a flag: "-p/--port", or "--config". */
std::string flag_label(const Flag &flag);

/* The heading of a group in --help, and the lines that follow its flags
 * (empty: none). */
const char *group_heading(FlagGroup group);
const char *group_note(FlagGroup group);

#endif
