/*
 * Every key the plug-in reads from its configuration file, and the kind of
 * value it converts the key's value to. The plug-in's reload reads exactly
 * these (its unit tests hold the two together); hosts that check a file
 * before handing it over walk the same list.
 */
#ifndef TAVRIX_CONFIG_KEYS_H
#define TAVRIX_CONFIG_KEYS_H

#include <nlohmann/json.hpp>

enum class ConfigKind { TEXT, NUMBER, FLAG };

struct ConfigKey {
    const char *name;
    ConfigKind kind;
};

inline constexpr ConfigKey CONFIG_KEYS[] = {{"host", ConfigKind::TEXT},
    {"port", ConfigKind::NUMBER}, {"user", ConfigKind::TEXT}, {"pass", ConfigKind::TEXT},
    {"topic", ConfigKind::TEXT}, {"message_qos", ConfigKind::NUMBER},
    {"message_retain", ConfigKind::FLAG}, {"tls_insecure", ConfigKind::FLAG},
    {"ca_file", ConfigKind::TEXT}, {"ca_path", ConfigKind::TEXT},
    {"client_cert_file", ConfigKind::TEXT}, {"client_key_file", ConfigKind::TEXT},
    {"client_id", ConfigKind::TEXT}, {"max_inflight_messages", ConfigKind::NUMBER},
    {"report_status", ConfigKind::FLAG}};

/* Whether the plug-in would take `value` for a key of this kind. */
bool config_converts(const nlohmann::json &value, ConfigKind kind);

#endif
