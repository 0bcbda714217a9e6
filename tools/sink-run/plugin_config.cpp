#include "plugin_config.h"

#include <cstring>

#include "options.h"

namespace {

// The name the plug-in's messages show for the private file.
constexpr const char *PRIVATE_NAME = "mqtt.json";

std::string serialized(const nlohmann::json &configuration)
{
    try {
        return configuration.dump(4) + "\n";
    } catch (const nlohmann::json::type_error &) {
        // Strings reach here from the command line unchecked.
        throw UsageError("a flag's value is not valid UTF-8, which a JSON configuration"
                         " cannot carry");
    }
}

} // namespace

PluginConfig::PluginConfig(const std::string &user_file, const nlohmann::json &overrides_)
    : overrides(overrides_)
{
    if (!user_file.empty()) {
        user = inspect_config(user_file);
        if (overrides.empty()) {
            initial = user.document;
            return;
        }
        if (user.error == 0 && !user.regular) {
            throw UsageError("configuration " + user_file +
                " is not a regular file: flags can override the keys of a regular file only");
        }
    }
    initial = user_file.empty() ? overrides : merged(user);
    copy.reset(new PrivateFile(PRIVATE_NAME));
    copy->write(serialized(initial));
}

const std::string &PluginConfig::path() const
{
    return copy ? copy->path() : user.path;
}

// A file that holds only null reads as no key at all to the plug-in;
// any other value that is not an object has no keys to override.
nlohmann::json PluginConfig::merged(const ConfigFile &file) const
{
    if (file.error != 0) {
        throw MergeError("cannot read configuration " + file.path + ": " +
            std::strerror(file.error));
    }
    if (!file.regular) {
        throw MergeError("configuration " + file.path + " is no longer a regular file");
    }
    if (file.document.is_discarded()) {
        throw MergeError("configuration " + file.path + " is not valid JSON: " +
            file.parse_error);
    }
    if (!file.document.is_object() && !file.document.is_null()) {
        throw MergeError("configuration " + file.path +
            " holds no JSON object whose keys flags could override");
    }
    nlohmann::json configuration = file.document.is_null() ? nlohmann::json::object()
                                                           : file.document;
    for (const auto &entry : overrides.items()) {
        configuration[entry.key()] = entry.value();
    }
    return configuration;
}

void PluginConfig::refresh()
{
    if (copy && !user.path.empty()) {
        copy->write(serialized(merged(inspect_config(user.path))));
    }
}

void PluginConfig::discard() noexcept
{
    if (copy) {
        copy->remove();
    }
}
