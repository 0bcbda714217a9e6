#include "config_checks.h"

#include <cstdio>

#include <sys/stat.h>

#include <convert.h>
#include <keys.h>

#include "plugin_config.h"

namespace {

// The plug-in's value of a key: the default when the key is absent or
// its value is of a type the plug-in refuses.
template <typename Value>
Value value_of(const nlohmann::json &configuration, const char *key, Value fallback)
{
    auto found = configuration.find(key);
    if (found == configuration.end()) {
        return fallback;
    }
    try {
        Value value{};
        config_convert(*found, value);
        return value;
    } catch (const nlohmann::json::exception &) {
        return fallback;
    }
}

// The plug-in skips such a key without a word; null is its way to say
// "keep the value".
void check_types(const nlohmann::json &configuration, std::vector<std::string> &lines)
{
    static const char *const wanted[] = {"a string", "a number", "a boolean"};
    for (const ConfigKey &key : CONFIG_KEYS) {
        auto value = configuration.find(key.name);
        if (value != configuration.end() && !value->is_null() && !config_converts(*value, key.kind)) {
            std::string found = value->type_name();
            std::string article = found.find_first_of("aeiou") == 0 ? "an " : "a ";
            lines.push_back(std::string("\"") + key.name + "\" is " + article + found +
                ", not " + wanted[static_cast<int>(key.kind)] + ": the plug-in ignores it");
        }
    }
}

// Outside "${...}": a variable name may hold anything.
bool has_wildcard(const std::string &topic)
{
    for (std::size_t i = 0; i < topic.size(); ++i) {
        if (topic.compare(i, 2, "${") == 0 && topic.find('}', i) != std::string::npos) {
            i = topic.find('}', i);
        } else if (topic[i] == '+' || topic[i] == '#') {
            return true;
        }
    }
    return false;
}

void check_topic(const nlohmann::json &configuration, std::vector<std::string> &lines)
{
    std::string topic = value_of<std::string>(configuration, "topic", "");
    if (topic.empty()) {
        lines.push_back("the topic is empty: libmosquitto will refuse every publish"
                        " (give -t TOPIC or \"topic\")");
    } else if (has_wildcard(topic)) {
        lines.push_back("the topic " + topic +
            " holds + or #: libmosquitto will refuse every publish to it");
    }
}

void check_credentials(const nlohmann::json &configuration, std::vector<std::string> &lines)
{
    bool user = !value_of<std::string>(configuration, "user", "").empty();
    bool pass = !value_of<std::string>(configuration, "pass", "").empty();
    if (user && !pass) {
        lines.push_back("a user name without a password: the plug-in sends no credentials"
                        " (give --pw-file FILE, TAVRIX_SINK_RUN_PASSWORD or \"pass\")");
    } else if (pass && !user) {
        lines.push_back("a password without a user name: the plug-in sends no credentials"
                        " (give -u USER or \"user\")");
    }
}

// The plug-in keeps the low 16 bits of any number, and libmosquitto
// answers port 0 with a stale errno.
void check_port(const nlohmann::json &configuration, std::vector<std::string> &lines)
{
    auto written = configuration.find("port");
    if (written == configuration.end() || !config_converts(*written, ConfigKind::NUMBER)) {
        return;
    }
    uint16_t port = static_cast<uint16_t>(value_of<uint32_t>(configuration, "port", 1883));
    if (port == 0) {
        lines.push_back("port " + written->dump() +
            " is port 0 to the plug-in, where no broker can be reached");
    } else if (!written->is_number_integer() || *written != port) {
        lines.push_back(
            "port " + written->dump() + " is port " + std::to_string(port) + " to the plug-in");
    }
}

void check_qos(const nlohmann::json &configuration, std::vector<std::string> &lines)
{
    int32_t qos = value_of<int32_t>(configuration, "message_qos", 1);
    if (qos < 0 || qos > 2) {
        lines.push_back("QoS " + std::to_string(qos) +
            ": libmosquitto will refuse every publish (0, 1 or 2)");
    }
}

// The plug-in falls back to its default window there, rather than have
// libmosquitto refuse the value.
void check_window(const nlohmann::json &configuration, std::vector<std::string> &lines)
{
    auto written = configuration.find("max_inflight_messages");
    if (written == configuration.end() || !config_converts(*written, ConfigKind::NUMBER)) {
        return;
    }
    int32_t window = value_of<int32_t>(configuration, "max_inflight_messages", 0);
    if (window < 1 || window > 65535) {
        lines.push_back("max_inflight_messages " + written->dump() +
            " is outside 1 to 65535: the plug-in uses its default (1000 at QoS 1, 20 at QoS 2)");
    }
}

} // namespace

std::vector<std::string> configuration_warnings(const nlohmann::json &configuration)
{
    std::vector<std::string> lines;
    if (!configuration.is_object()) {
        return lines;
    }
    check_types(configuration, lines);
    check_topic(configuration, lines);
    check_credentials(configuration, lines);
    check_port(configuration, lines);
    check_qos(configuration, lines);
    check_window(configuration, lines);
    return lines;
}

std::string exposure_warning(const std::string &path, mode_t mode, const std::string &what)
{
    if ((mode & S_IROTH) == 0) {
        return std::string();
    }
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    return path + " holds " + what + " and every user can read it (mode " + octal +
        "): chmod o-r " + path;
}

std::vector<std::string> startup_warnings(const PluginConfig &config)
{
    std::vector<std::string> lines = configuration_warnings(config.contents());
    const ConfigFile &user = config.user_file();
    if (user.regular && user.document.is_object() &&
        !value_of<std::string>(user.document, "pass", "").empty()) {
        std::string exposed = exposure_warning(user.path, user.mode, "a password");
        if (!exposed.empty()) {
            lines.push_back(exposed);
        }
    }
    return lines;
}
