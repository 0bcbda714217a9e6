/*
 * Every key the plug-in reads from its configuration file, as
 * config_keys.def defines them, for the code that is not the plug-in's:
 * hosts that check a file before handing it over, the runner's flags and
 * help, the tests that hold the documentation to them.
 */
#ifndef TAVRIX_CONFIG_KEYS_H
#define TAVRIX_CONFIG_KEYS_H

#include <nlohmann/json.hpp>

enum class ConfigKind { TEXT, NUMBER, FLAG };

struct ConfigKey {
    const char *name;
    ConfigKind kind;
    /* The default and a line of help, as README's key table shows them. */
    const char *shown;
    const char *help;
};

inline constexpr ConfigKey CONFIG_KEYS[] = {
#define CONFIG_KEY(name, kind, type, initial, shown, help) {#name, ConfigKind::kind, shown, help},
#include "config_keys.def"
#undef CONFIG_KEY
};

/* The key called `name`, or null. */
const ConfigKey *config_key(const std::string &name);

/* "string", "number" or "boolean": what the documentation calls a kind. */
const char *config_kind_name(ConfigKind kind);

/* Whether the plug-in would take `value` for a key of this kind. */
bool config_converts(const nlohmann::json &value, ConfigKind kind);

#endif
