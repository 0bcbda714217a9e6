#include "options.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

#include <getopt.h>
#include <sys/stat.h>

#include <broker_list.h>
#include <keys.h>

namespace {

// A day is far beyond any sensible wait for a broker, and keeps the
// deadline arithmetic clear of overflow.
constexpr double MAX_CONNECT_TIMEOUT = 86400.0;

std::string non_empty(const std::string &label, const std::string &value)
{
    if (value.empty()) {
        throw UsageError(label + " needs a non-empty value");
    }
    return value;
}

nlohmann::json text(const std::string &label, const std::string &value)
{
    return non_empty(label, value);
}

nlohmann::json yes(const std::string &, const std::string &)
{
    return true;
}

// What the plug-in would skip in a list of brokers is refused here.
nlohmann::json hosts(const std::string &label, const std::string &value)
{
    std::vector<std::string> problems;
    config_broker_list(non_empty(label, value), 1883, problems);
    if (!problems.empty()) {
        throw UsageError(label + " needs a host, or name[:port] entries separated by commas with"
                                 " ports from 1 to 65535, not '" + value + "'");
    }
    return value;
}

// A decimal from 1 to 65535; `wanted` says so in the refusal.
unsigned long from_1_to_65535(const std::string &label, const std::string &value,
    const char *wanted)
{
    bool digits = !value.empty() && value.size() <= 5 &&
        value.find_first_not_of("0123456789") == std::string::npos;
    unsigned long number = digits ? std::strtoul(value.c_str(), nullptr, 10) : 0;
    if (number == 0 || number > 65535) {
        throw UsageError(label + " needs " + wanted + ", not '" + value + "'");
    }
    return number;
}

// The plug-in takes any number and keeps its low 16 bits, and
// libmosquitto answers port 0 with whatever errno held before: a flag
// gets only what names a TCP port.
nlohmann::json port(const std::string &label, const std::string &value)
{
    return from_1_to_65535(label, value, "a port from 1 to 65535");
}

// What libmosquitto takes as its in-flight window.
nlohmann::json window(const std::string &label, const std::string &value)
{
    return from_1_to_65535(label, value, "a number from 1 to 65535");
}

// The versions the plug-in documents; libmosquitto refuses most others.
nlohmann::json tls_version(const std::string &label, const std::string &value)
{
    if (value != "tlsv1.2" && value != "tlsv1.3") {
        throw UsageError(label + " needs tlsv1.2 or tlsv1.3, not '" + value + "'");
    }
    return value;
}

// mosquitto_pub's names of the versions (its -V), as the key's values.
nlohmann::json protocol_version(const std::string &label, const std::string &value)
{
    if (value == "mqttv5" || value == "5") {
        return "5";
    }
    if (value == "mqttv311" || value == "311") {
        return "3.1.1";
    }
    throw UsageError(label + " needs mqttv5, 5, mqttv311 or 311, not '" + value + "'");
}

// A size the plug-in takes as it is: a positive decimal within 63 bits.
nlohmann::json byte_count(const std::string &label, const std::string &value)
{
    bool digits = !value.empty() && value.size() <= 18 &&
        value.find_first_not_of("0123456789") == std::string::npos;
    long long number = digits ? std::strtoll(value.c_str(), nullptr, 10) : 0;
    if (number <= 0) {
        throw UsageError(label + " needs a number of bytes above 0, not '" + value + "'");
    }
    return number;
}

// libmosquitto would refuse every publish with another QoS.
nlohmann::json qos(const std::string &label, const std::string &value)
{
    if (value != "0" && value != "1" && value != "2") {
        throw UsageError(label + " needs 0, 1 or 2, not '" + value + "'");
    }
    return value[0] - '0';
}

void set_connect_timeout(Options &options, const std::string &label, const std::string &value)
{
    char *end = nullptr;
    errno = 0;
    double number = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(number) || number <= 0 ||
        number > MAX_CONNECT_TIMEOUT) {
        throw UsageError(label + " needs a number of seconds above 0 and at most 86400, not '" +
            value + "'");
    }
    options.connect_timeout = number;
}

void add_variable(Options &options, const std::string &label, const std::string &assignment)
{
    std::size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0) {
        throw UsageError(label + " needs NAME=VALUE, not '" + assignment + "'");
    }
    std::string name = assignment.substr(0, equals);
    if (name.find_first_of("${}") != std::string::npos) {
        throw UsageError(label + " NAME is written bare (it becomes ${NAME}), not '" + name + "'");
    }
    options.variables["${" + name + "}"] = assignment.substr(equals + 1);
}

void add_channel(Options &options, const std::string &label, const std::string &value)
{
    options.channels.insert(non_empty(label, value));
}

template <std::string Options::*field>
void take(Options &options, const std::string &label, const std::string &value)
{
    options.*field = non_empty(label, value);
}

template <bool Options::*field>
void turn_on(Options &options, const std::string &, const std::string &)
{
    options.*field = true;
}

using Group = FlagGroup;

// One row per flag: the runner's own apply their value, key flags
// convert theirs for their key.
const std::vector<Flag> FLAGS = {
    {"config", 0, "FILE", Group::CONNECTION, take<&Options::config>,
        "the plug-in's JSON configuration; the flags marked [key] override its keys"},
    {"host", 'h', "HOST", Group::CONNECTION, nullptr,
        "broker host name or address, or several: name[:port],name[:port]...", "host", hosts},
    {"port", 'p', "PORT", Group::CONNECTION, nullptr, "broker port, 1 to 65535", "port", port},
    {"protocol-version", 'V', "VERSION", Group::CONNECTION, nullptr,
        "MQTT version: mqttv5 (or 5), mqttv311 (or 311)", "protocol_version", protocol_version},
    {"id", 'i', "ID", Group::CONNECTION, nullptr, "MQTT client id; default the agent UUID",
        "client_id", text},
    {"connect-timeout", 0, "SECS", Group::CONNECTION, set_connect_timeout,
        "how long to wait for the broker before any input is read; default 10"},

    {"cafile", 0, "FILE", Group::TLS, nullptr, "CA certificates, PEM", "ca_file", text},
    {"capath", 0, "DIR", Group::TLS, nullptr,
        "directory of hashed CA certificates", "ca_path", text},
    {"cert", 0, "FILE", Group::TLS, nullptr, "client certificate, PEM", "client_cert_file", text},
    {"key", 0, "FILE", Group::TLS, nullptr, "its key, PEM, unencrypted", "client_key_file", text},
    {"insecure", 0, nullptr, Group::TLS, nullptr,
        "accept a certificate that does not name the host", "tls_insecure", yes},
    {"tls-use-os-certs", 0, nullptr, Group::TLS, nullptr,
        "trust the system's CA store; unused with --cafile or --capath", "tls_use_os_certs", yes},
    {"tls-alpn", 0, "PROTOCOL", Group::TLS, nullptr, "ALPN protocol offered in the handshake",
        "tls_alpn", text},
    {"tls-version", 0, "VERSION", Group::TLS, nullptr,
        "the lowest TLS version: tlsv1.2 or tlsv1.3", "tls_version", tls_version},

    {"username", 'u', "USER", Group::CREDENTIALS, nullptr, "user name", "user", text},
    {"pw-file", 0, "FILE", Group::CREDENTIALS, take<&Options::password_file>,
        "the password: FILE's first line", "pass"},
    {"pw", 'P', "PASSWORD", Group::CREDENTIALS, take<&Options::password>,
        "the password; other users can read it in the process list: prefer --pw-file", "pass"},

    {"topic", 't', "TOPIC", Group::TOPIC, nullptr, "topic template; ${channel} is the channel",
        "topic", text},
    {"qos", 'q', "QOS", Group::TOPIC, nullptr, "QoS 0, 1 or 2", "message_qos", qos},
    {"max-inflight", 'M', "N", Group::TOPIC, nullptr, "QoS 1 and 2 messages in flight at once",
        "max_inflight_messages", window},
    {"retain", 'r', nullptr, Group::TOPIC, nullptr, "the broker keeps each topic's last message",
        "message_retain", yes},
    {"channel", 0, "NAME", Group::TOPIC, add_channel,
        "a channel every payload goes to; repeatable; default one channel, \"default\""},

    {"will-topic", 0, "TOPIC", Group::LIVENESS, nullptr,
        "topic of the will, the birth and the farewell; ${channel} has no meaning there",
        "will_topic", text},
    {"will-payload", 0, "PAYLOAD", Group::LIVENESS, nullptr,
        "the will, also published at a clean stop", "will_payload", text},
    {"birth-payload", 0, "PAYLOAD", Group::LIVENESS, nullptr,
        "published whenever the broker accepts the connection", "birth_payload", text},
    {"will-qos", 0, "QOS", Group::LIVENESS, nullptr, "their QoS, 0, 1 or 2", "will_qos", qos},
    {"will-retain", 0, nullptr, Group::LIVENESS, nullptr,
        "the broker keeps them", "will_retain", yes},

    {"spool", 0, "DIR", Group::SPOOL, nullptr,
        "keep what waits for the broker in DIR, across runs; input is read at once",
        "spool_dir", text},
    {"spool-max-bytes", 0, "N", Group::SPOOL, nullptr,
        "bytes the spool may take before its oldest payloads go", "spool_max_bytes",
        byte_count},

    {"input", 0, "FILE", Group::INPUT, take<&Options::input>,
        "read payloads from FILE; - or none: standard input"},
    {"whole", 0, nullptr, Group::INPUT, turn_on<&Options::whole>,
        "the whole input is one payload; default one per line, line ending removed"},

    {"uuid-agent", 0, "UUID", Group::IDENTITY, take<&Options::uuid_agent>,
        "the agent UUID (${uuid_agent}), the default client id; default derived from the first "
        "of /etc/machine-id, /var/lib/dbus/machine-id and /etc/hostid, else from the host name, "
        "else random"},
    {"uuid-site", 0, "UUID", Group::IDENTITY, take<&Options::uuid_site>,
        "the site UUID (${uuid_site})"},
    {"uuid-serial", 0, "UUID", Group::IDENTITY, take<&Options::uuid_serial>,
        "the serial UUID (${uuid_serial})"},
    {"var", 0, "NAME=VALUE", Group::IDENTITY, add_variable, "host variable ${NAME}; repeatable"},

    {"plugin", 0, "PATH", Group::RUNNER, take<&Options::plugin>,
        "the plug-in library; default the one installed with this program, else the one of its "
        "build tree"},
    {"stats", 0, nullptr, Group::RUNNER, turn_on<&Options::stats>,
        "print a progress line every second"},
    {"debug", 0, nullptr, Group::RUNNER, turn_on<&Options::debug>,
        "print the plug-in's debug log too"},
    {"help", 0, nullptr, Group::RUNNER, turn_on<&Options::help>, "print this help and exit"},
    {"version", 0, nullptr, Group::RUNNER, turn_on<&Options::version>,
        "print the version and exit"},
};

// How messages name a flag: "-p/--port", or "--config".
std::string flag_label(const Flag &flag)
{
    std::string label = std::string("--") + flag.name;
    return flag.letter == 0 ? label : std::string("-") + flag.letter + "/" + label;
}

// getopt_long's answer for a flag: its letter, or a number past every
// character for one without.
int value_of(const Flag &flag)
{
    return flag.letter != 0 ? flag.letter : 256 + static_cast<int>(&flag - FLAGS.data());
}

// getopt_long keeps its place in globals; a parse starts it afresh. It
// says itself what it refuses (an unknown or ambiguous flag, a missing
// value, a value to a flag that takes none), in its C library's words.
void restart_getopt()
{
#ifdef __GLIBC__
    optind = 0;
#else
    optreset = 1;
    optind = 1;
#endif
    opterr = 1;
}

// Where the flags' texts begin, past the widest flag with its value, and
// how wide they are: 80 columns in all.
constexpr std::size_t TEXT_COLUMN = 30;
constexpr std::size_t TEXT_WIDTH = 50;

constexpr const char *INTRODUCTION =
    "Usage: tavrix-sink-run [OPTION]...\n"
    "Publishes payloads from standard input (or --input FILE) to an MQTT broker\n"
    "through the tavrix-sink-mqtt plug-in, loaded as the agent loads it:\n"
    "  seq 1 10 | tavrix-sink-run -h broker -t 'tavrix/${channel}' --channel flows\n"
    "\n"
    "A flag marked [key] sets that key of the plug-in's configuration. Without\n"
    "--config, the flags make the whole configuration (a private file, removed at\n"
    "exit); with --config FILE, each overrides its key of FILE (a private merged\n"
    "copy, rebuilt from FILE on SIGHUP).\n";

// Each group's heading, and the lines that close it.
constexpr const char *GROUP_TEXTS[][2] = {
    {"Connection:", ""},
    {"TLS (used when --cafile, --capath or --tls-use-os-certs is given):", ""},
    {"Credentials (sent only when both are set):",
        "The environment variable TAVRIX_SINK_RUN_PASSWORD gives the password too\n"
        "[pass], unless --pw-file or -P does.\n"},
    {"Topic and QoS:", ""},
    {"Liveness (used when --will-topic is given):", ""},
    {"Spool:",
        "With a spool, --connect-timeout is how long the end of the run waits for a\n"
        "first connection; what is not delivered then stays in the spool (exit 5).\n"},
    {"Input:", ""},
    {"Host identity:", ""},
    {"Runner:", ""},
};

constexpr const char *CLOSING =
    "\n"
    "SIGHUP rereads the configuration; SIGINT and SIGTERM stop reading, deliver\n"
    "what was read (45 s at most; a second signal cuts that short) and stop.\n"
    "\n"
    "Exit status: 0 everything delivered; 1 the plug-in failed, was refused or did\n"
    "not finish loading its configuration, or the input could not be read; 2 bad\n"
    "flags or missing files; 3 broker unreachable; 4 payloads lost (after a signal\n"
    "too); 5 not all delivered, the rest kept in the spool; 128+N stopped by signal\n"
    "N, everything delivered.\n";

// A key flag's text takes the key's mark after its first clause and,
// when it is worth showing, the key's default at its end, as the table of
// keys gives them.
std::string help_of(const Flag &flag)
{
    std::string text = flag.help;
    const ConfigKey *key = flag.key != nullptr ? config_key(flag.key) : nullptr;
    if (key == nullptr) {
        return text;
    }
    text.insert(std::min(text.find(';'), text.size()), " [" + std::string(key->name) + "]");
    std::string shown = key->shown;
    shown.erase(std::remove(shown.begin(), shown.end(), '`'), shown.end());
    return shown == "empty" || shown == "false" ? text : text + "; default " + shown;
}

// Lines of at most TEXT_WIDTH, each after the first in the text column.
std::string wrapped(const std::string &text)
{
    std::istringstream words(text);
    std::string lines, line;
    for (std::string word; words >> word;) {
        if (!line.empty() && line.size() + 1 + word.size() > TEXT_WIDTH) {
            lines += line + "\n" + std::string(TEXT_COLUMN, ' ');
            line.clear();
        }
        line += (line.empty() ? "" : " ") + word;
    }
    return lines + line;
}

std::string flag_lines(const Flag &flag)
{
    std::string text = flag.letter != 0 ? std::string("  -") + flag.letter + ", " : "      ";
    text += std::string("--") + flag.name + (flag.value ? std::string(" ") + flag.value : "");
    text.resize(std::max(text.size() + 1, TEXT_COLUMN), ' ');
    return text + wrapped(help_of(flag)) + "\n";
}

// The first line, without its line ending: a file written with echo and
// one written with an editor hold the same password.
std::string password_from(const std::string &path, std::vector<std::string> &warnings)
{
    std::ifstream file(path);
    std::string line;
    if (!file.is_open() || (!std::getline(file, line) && file.bad())) {
        throw UsageError("cannot read password file " + path + ": " + std::strerror(errno));
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty()) {
        throw UsageError("password file " + path + " holds no password on its first line");
    }
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        warn_if_exposed(path, info.st_mode, "the password", warnings);
    }
    return line;
}

} // namespace

const std::vector<Flag> &all_flags()
{
    return FLAGS;
}

Options parse_options(const std::vector<std::string> &arguments)
{
    std::vector<std::string> words(1, "tavrix-sink-run");
    words.insert(words.end(), arguments.begin(), arguments.end());
    std::vector<char *> argv;
    for (std::string &word : words) {
        argv.push_back(&word[0]);
    }
    argv.push_back(nullptr);
    int argc = static_cast<int>(words.size());
    std::string shorts = "+"; // no reordering: the first operand ends the flags
    std::vector<struct option> longs;
    for (const Flag &flag : FLAGS) {
        longs.push_back(
            {flag.name, flag.value ? required_argument : no_argument, nullptr, value_of(flag)});
        if (flag.letter != 0) {
            shorts += flag.letter + std::string(flag.value ? ":" : "");
        }
    }
    longs.push_back({});

    Options options;
    restart_getopt();
    for (int value; (value = getopt_long(argc, argv.data(), shorts.c_str(), longs.data(),
                         nullptr)) != -1;) {
        auto flag = std::find_if(FLAGS.begin(), FLAGS.end(),
            [value](const Flag &candidate) { return value_of(candidate) == value; });
        if (flag == FLAGS.end()) {
            throw UsageError("try --help"); // after getopt_long's own line
        }
        const std::string label = flag_label(*flag), given = optarg == nullptr ? "" : optarg;
        if (flag->convert != nullptr) {
            options.settings[flag->key] = flag->convert(label, given);
        } else {
            flag->apply(options, label, given);
        }
    }
    if (optind < argc) {
        throw UsageError("unexpected argument '" + words[static_cast<std::size_t>(optind)] +
            "' (input comes from --input or standard input)");
    }
    if (options.help || options.version) {
        return options;
    }
    if (!options.password.empty() && !options.password_file.empty()) {
        throw UsageError("-P/--pw and --pw-file both give the password; give one of them");
    }
    if (options.channels.empty()) {
        options.channels.insert("default");
    }
    return options;
}

std::string usage_text()
{
    std::string text = INTRODUCTION;
    for (std::size_t group = 0; group < std::size(GROUP_TEXTS); ++group) {
        text += std::string("\n") + GROUP_TEXTS[group][0] + "\n";
        for (const Flag &flag : FLAGS) {
            text += static_cast<std::size_t>(flag.group) == group ? flag_lines(flag) : "";
        }
        text += GROUP_TEXTS[group][1];
    }
    return text + CLOSING;
}

nlohmann::json configuration_overrides(const Options &options, const char *environment_password,
    std::vector<std::string> &warnings)
{
    nlohmann::json overrides = options.settings;
    if (!options.password_file.empty()) {
        overrides["pass"] = password_from(options.password_file, warnings);
    } else if (!options.password.empty()) {
        warnings.push_back("-P puts the password in the process list, where every user of"
                           " this machine can read it; prefer --pw-file FILE or " +
            std::string(PASSWORD_VARIABLE));
        overrides["pass"] = options.password;
    } else if (environment_password != nullptr && *environment_password != '\0') {
        overrides["pass"] = environment_password;
    }
    return overrides;
}

void warn_if_exposed(const std::string &path, mode_t mode, const std::string &what,
    std::vector<std::string> &warnings)
{
    if ((mode & S_IROTH) == 0) {
        return;
    }
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    warnings.push_back(path + " holds " + what + " and every user can read it (mode " + octal +
        "): chmod o-r " + path);
}
