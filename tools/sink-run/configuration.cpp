#include "configuration.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <broker_list.h>
#include <convert.h>
#include <keys.h>
#include <publish_values.h>

#include "options.h"

namespace {

using Clock = std::chrono::steady_clock;
using Millis = std::chrono::milliseconds;

// The name the plug-in's messages show for the private file.
constexpr const char *PRIVATE_NAME = "mqtt.json";

// Reads to the end. A pipe's writer may be slow to come or to write: each
// read waits for data until `deadline`, after which errno is ETIMEDOUT. A
// FIFO without a writer yet reads as at its end, so the wait comes first.
bool read_all(int fd, std::string &text, Clock::time_point deadline)
{
    char chunk[8192];
    for (;;) {
        auto left = std::chrono::duration_cast<Millis>(deadline - Clock::now());
        struct pollfd entry = {fd, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        ssize_t got = ready < 0 ? -1 : read(fd, chunk, sizeof chunk);
        if (got > 0) {
            text.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0) {
            return true;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
            return false;
        }
    }
}

// The user's file, parsed as the plug-in parses it (comments ignored): a
// regular file at once, anything else that can be read until its writer
// closes it, within `pipe_limit`. O_NONBLOCK: a FIFO's open does not wait
// for a writer; its reads wait in read_all, within the limit.
nlohmann::json read_config(const std::string &path, Millis pipe_limit = Millis(0))
{
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat info = {};
    int error = fd < 0 || fstat(fd, &info) != 0 ? errno : S_ISDIR(info.st_mode) ? EISDIR : 0;
    std::string text;
    Millis wait = S_ISREG(info.st_mode) ? Millis(0) : pipe_limit;
    if (error == 0 && !read_all(fd, text, Clock::now() + wait)) {
        error = errno;
    }
    if (fd >= 0) {
        close(fd);
    }
    if (error == ETIMEDOUT) {
        throw MergeError(
            "configuration " + path + " gave nothing to read (a FIFO without a writer?)");
    }
    if (error != 0) {
        throw MergeError("cannot read configuration " + path + ": " + std::strerror(error));
    }
    try {
        return nlohmann::json::parse(text, nullptr, true, true);
    } catch (const nlohmann::json::exception &e) {
        throw MergeError("configuration " + path + " is not valid JSON: " + e.what());
    }
}

// A file that holds only null, or without flags any value that is not an
// object, sets no key for the plug-in; under flags such a value has no
// keys to override.
nlohmann::json merged(nlohmann::json document, const nlohmann::json &overrides,
    const std::string &path)
{
    if (!document.is_object()) {
        if (!overrides.empty() && !document.is_null()) {
            throw MergeError("configuration " + path +
                " holds no JSON object whose keys flags could override");
        }
        return overrides;
    }
    document.update(overrides);
    return document;
}

std::runtime_error system_error(const std::string &what, const std::string &path)
{
    return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

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

// A number the plug-in reads as a number, or null.
const nlohmann::json *number_at(const nlohmann::json &configuration, const char *key)
{
    auto found = configuration.find(key);
    return found != configuration.end() && config_converts(*found, ConfigKind::NUMBER) ? &*found
                                                                                        : nullptr;
}

// What libmosquitto takes as the lowest TLS version, in any letter case.
bool known_tls_version(const std::string &version)
{
    for (const char *known : {"tlsv1.1", "tlsv1.2", "tlsv1.3"}) {
        if (strcasecmp(version.c_str(), known) == 0) {
            return true;
        }
    }
    return false;
}

// The TLS keys that take effect only together with others.
void tls_warnings(const nlohmann::json &configuration, std::vector<std::string> &lines)
{
    bool ca = !value_of<std::string>(configuration, "ca_file", "").empty() ||
        !value_of<std::string>(configuration, "ca_path", "").empty();
    bool os_store = value_of<bool>(configuration, "tls_use_os_certs", false);
    if (ca && os_store) {
        lines.push_back("tls_use_os_certs beside ca_file or ca_path: the plug-in trusts those"
                        " alone, not the system's CA store");
    }
    for (const char *key : {"tls_alpn", "tls_version"}) {
        if (!ca && !os_store && !value_of<std::string>(configuration, key, "").empty()) {
            lines.push_back(std::string(key) + " without TLS: the plug-in ignores it"
                " (give --cafile, --capath or --tls-use-os-certs)");
        }
    }
    std::string version = value_of<std::string>(configuration, "tls_version", "");
    if ((ca || os_store) && !version.empty() && !known_tls_version(version)) {
        lines.push_back("tls_version " + version +
            ": libmosquitto refuses it and every connection attempt fails (tlsv1.2 or tlsv1.3)");
    }
}

// The will's keys take effect only with a will topic, and a topic no
// broker takes fails every attempt, as a refused TLS set-up does.
void liveness_warnings(const nlohmann::json &configuration, std::vector<std::string> &lines)
{
    std::string topic = value_of<std::string>(configuration, "will_topic", "");
    if (config_topic_has_wildcard(topic)) {
        lines.push_back("the will topic " + topic +
            " holds + or #: libmosquitto refuses the will and every connection attempt fails");
    }
    for (const char *key : {"will_payload", "birth_payload", "will_qos", "will_retain"}) {
        if (topic.empty() && configuration.contains(key)) {
            lines.push_back(std::string(key) +
                " without will_topic: the plug-in ignores it (give --will-topic)");
        }
    }
    int32_t qos = value_of<int32_t>(configuration, "will_qos", 1);
    if (qos < 0 || qos > 2) {
        lines.push_back("will_qos " + std::to_string(qos) + " is outside 0 to 2: the plug-in uses 1");
    }
}

} // namespace

std::vector<std::string> configuration_warnings(const nlohmann::json &configuration)
{
    std::vector<std::string> lines;
    if (!configuration.is_object()) {
        return lines;
    }
    // The plug-in skips a key of another type without a word; null is its
    // way to say "keep the value".
    for (const ConfigKey &key : CONFIG_KEYS) {
        auto value = configuration.find(key.name);
        if (value == configuration.end() || value->is_null() || config_converts(*value, key.kind)) {
            continue;
        }
        std::string found = value->type_name();
        std::string article = found.find_first_of("aeiou") == 0 ? "an " : "a ";
        lines.push_back(std::string("\"") + key.name + "\" is " + article + found + ", not a " +
            config_kind_name(key.kind) + ": the plug-in ignores it");
    }
    std::string topic = value_of<std::string>(configuration, "topic", "");
    if (topic.empty()) {
        lines.push_back("the topic is empty: libmosquitto will refuse every publish"
                        " (give -t TOPIC or \"topic\")");
    } else if (config_topic_has_wildcard(topic)) {
        lines.push_back("the topic " + topic +
            " holds + or #: libmosquitto will refuse every publish to it");
    }
    bool user = !value_of<std::string>(configuration, "user", "").empty();
    bool pass = !value_of<std::string>(configuration, "pass", "").empty();
    if (user && !pass) {
        lines.push_back("a user name without a password: the plug-in sends no credentials"
                        " (give --pw-file FILE, TAVRIX_SINK_RUN_PASSWORD or \"pass\")");
    } else if (pass && !user) {
        lines.push_back("a password without a user name: the plug-in sends no credentials"
                        " (give -u USER or \"user\")");
    }
    // The plug-in keeps the low 16 bits of any number, and libmosquitto
    // answers port 0 with a stale errno.
    if (const nlohmann::json *written = number_at(configuration, "port")) {
        uint16_t port = static_cast<uint16_t>(value_of<uint32_t>(configuration, "port", 1883));
        if (port == 0) {
            lines.push_back("port " + written->dump() +
                " is port 0 to the plug-in, where no broker can be reached");
        } else if (!written->is_number_integer() || *written != port) {
            lines.push_back(
                "port " + written->dump() + " is port " + std::to_string(port) + " to the plug-in");
        }
    }
    int32_t qos = value_of<int32_t>(configuration, "message_qos", 1);
    if (qos < 0 || qos > 2) {
        lines.push_back("QoS " + std::to_string(qos) +
            ": libmosquitto will refuse every publish (0, 1 or 2)");
    }
    tls_warnings(configuration, lines);
    liveness_warnings(configuration, lines);
    config_broker_list(value_of<std::string>(configuration, "host", DEFAULT_BROKER_HOST),
        static_cast<uint16_t>(value_of<uint32_t>(configuration, "port", 1883)), lines);
    // The plug-in falls back to its default window there, rather than have
    // libmosquitto refuse the value.
    const nlohmann::json *window = number_at(configuration, "max_inflight_messages");
    int32_t size = value_of<int32_t>(configuration, "max_inflight_messages", 0);
    if (window != nullptr && (size < 1 || size > 65535)) {
        lines.push_back("max_inflight_messages " + window->dump() +
            " is outside 1 to 65535: the plug-in uses its default (4096 at QoS 1, 20 at QoS 2)");
    }
    return lines;
}

PluginConfig::PluginConfig(const std::string &user_file, const nlohmann::json &overrides_,
    std::chrono::milliseconds pipe_limit)
    : user_path(user_file), overrides(overrides_), initial(overrides_)
{
    struct stat info = {};
    bool present = !user_file.empty() && stat(user_file.c_str(), &info) == 0;
    user_regular = present && S_ISREG(info.st_mode);
    // Under flags a pipe is refused unread: nothing waits for its writer.
    if (!overrides.empty() && present && !user_regular && !S_ISDIR(info.st_mode)) {
        throw UsageError("configuration " + user_file +
            " is not a regular file: flags can override the keys of a regular file only");
    }
    nlohmann::json document;
    if (!user_file.empty()) {
        document = read_config(user_file, pipe_limit);
        initial = merged(document, overrides, user_file);
    }
    start_warnings = configuration_warnings(initial);
    if (user_regular && !value_of<std::string>(document, "pass", "").empty()) {
        warn_if_exposed(user_file, info.st_mode, "a password", start_warnings);
    }
    // Under $TMPDIR, else /tmp; mkdtemp makes it 0700.
    const char *tmp = std::getenv("TMPDIR");
    directory = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
        "/tavrix-sink-run.XXXXXX";
    if (mkdtemp(&directory[0]) == nullptr) {
        throw system_error("cannot make a private directory", directory);
    }
    file_path = directory + "/" + PRIVATE_NAME;
    try {
        write(initial);
    } catch (...) {
        discard();
        throw;
    }
}

PluginConfig::~PluginConfig()
{
    discard();
}

// Written beside the file and renamed over it: the plug-in may read it
// at any moment, on a reload.
void PluginConfig::write(nlohmann::json configuration)
{
    configuration["report_status"] = true;
    std::string text;
    try {
        text = configuration.dump(4) + "\n";
    } catch (const nlohmann::json::type_error &) {
        // Strings reach here from the command line unchecked.
        throw UsageError("a flag's value is not valid UTF-8, which a JSON configuration"
                         " cannot carry");
    }
    std::lock_guard<std::mutex> guard(lock);
    if (removed) {
        return;
    }
    std::string next = file_path + ".new";
    int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    FILE *file = fd < 0 ? nullptr : fdopen(fd, "w");
    if (file == nullptr) {
        std::runtime_error error = system_error("cannot create", next);
        if (fd >= 0) {
            close(fd);
        }
        throw error;
    }
    bool written = std::fwrite(text.data(), 1, text.size(), file) == text.size();
    if (std::fclose(file) != 0 || !written || rename(next.c_str(), file_path.c_str()) != 0) {
        std::runtime_error error = system_error("cannot write", file_path);
        unlink(next.c_str());
        throw error;
    }
}

bool PluginConfig::spooled() const
{
    return !value_of<std::string>(initial, "spool_dir", "").empty();
}

void PluginConfig::refresh()
{
    if (user_path.empty()) {
        return;
    }
    if (!user_regular) {
        throw MergeError("configuration " + user_path +
            " is not a regular file: it was read once, at the start");
    }
    write(merged(read_config(user_path), overrides, user_path));
}

void PluginConfig::discard() noexcept
{
    std::lock_guard<std::mutex> guard(lock);
    if (removed) {
        return;
    }
    removed = true;
    unlink((file_path + ".new").c_str());
    unlink(file_path.c_str());
    rmdir(directory.c_str());
}
