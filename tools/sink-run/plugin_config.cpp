#include "plugin_config.h"

#include <cerrno>
#include <cstring>

#include "options.h"

namespace {

using Millis = std::chrono::milliseconds;

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

PluginConfig::PluginConfig(const std::string &user_file, const nlohmann::json &overrides_,
    std::chrono::milliseconds pipe_limit)
    : overrides(overrides_)
{
    initial = overrides;
    if (!user_file.empty()) {
        // Under flags a pipe is refused unread: nothing waits for its writer.
        user = inspect_config(user_file, overrides.empty() ? pipe_limit : Millis(0));
        bool present = user.error == 0 || user.error == ETIMEDOUT;
        if (!overrides.empty() && present && !user.regular) {
            throw UsageError("configuration " + user_file +
                " is not a regular file: flags can override the keys of a regular file only");
        }
        initial = merged(user);
    }
    copy.reset(new PrivateFile(PRIVATE_NAME));
    write(initial);
}

const std::string &PluginConfig::path() const
{
    return copy->path();
}

void PluginConfig::write(const nlohmann::json &configuration)
{
    nlohmann::json with_runner_keys = configuration;
    with_runner_keys["report_status"] = true;
    copy->write(serialized(with_runner_keys));
}

// A file that holds only null, or without flags any value that is not an
// object, sets no key for the plug-in; under flags such a value has no
// keys to override.
nlohmann::json PluginConfig::merged(const ConfigFile &file) const
{
    if (file.error == ETIMEDOUT) {
        throw MergeError("configuration " + file.path +
            " gave nothing to read (a FIFO without a writer?)");
    }
    if (file.error != 0) {
        throw MergeError("cannot read configuration " + file.path + ": " +
            std::strerror(file.error));
    }
    if (file.document.is_discarded()) {
        throw MergeError("configuration " + file.path + " is not valid JSON: " +
            file.parse_error);
    }
    if (!file.document.is_object()) {
        if (!overrides.empty() && !file.document.is_null()) {
            throw MergeError("configuration " + file.path +
                " holds no JSON object whose keys flags could override");
        }
        return overrides;
    }
    nlohmann::json configuration = file.document;
    for (const auto &entry : overrides.items()) {
        configuration[entry.key()] = entry.value();
    }
    return configuration;
}

void PluginConfig::refresh()
{
    if (user.path.empty()) {
        return;
    }
    if (!user.regular) {
        throw MergeError("configuration " + user.path +
            " is not a regular file: it was read once, at the start");
    }
    write(merged(inspect_config(user.path)));
}

void PluginConfig::discard() noexcept
{
    if (copy) {
        copy->remove();
    }
}
