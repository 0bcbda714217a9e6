/*
 * The password, which never belongs on a command line: from a file, or
 * from the environment; -P is there for mosquitto_pub's habits, with a
 * warning.
 */
#ifndef TAVRIX_SINK_RUN_CREDENTIALS_H
#define TAVRIX_SINK_RUN_CREDENTIALS_H

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "options.h"

/* The environment variable that may hold the password. */
constexpr const char *PASSWORD_VARIABLE = "TAVRIX_SINK_RUN_PASSWORD";

/* The keys the runner puts over the configuration: the flags' settings
 * and, as "pass", the password from --pw-file, else -P, else
 * `environment_password` (PASSWORD_VARIABLE's value; null or empty: none).
 * A password on the command line, or in a file every user can read, adds
 * a line to `warnings`. Throws UsageError for a password file that cannot
 * be read or whose first line is empty. */
nlohmann::json configuration_overrides(const Options &options, const char *environment_password,
    std::vector<std::string> &warnings);

#endif
