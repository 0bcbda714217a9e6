#include "flags.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "options.h"

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

// libmosquitto would refuse every publish with another QoS.
nlohmann::json qos(const std::string &label, const std::string &value)
{
    if (value != "0" && value != "1" && value != "2") {
        throw UsageError(label + " needs 0, 1 or 2, not '" + value + "'");
    }
    return value[0] - '0';
}

double seconds(const std::string &label, const std::string &value)
{
    char *end = nullptr;
    errno = 0;
    double number = std::strtod(value.c_str(), &end);
    if (value.empty() || *end != '\0' || errno != 0 || !std::isfinite(number) || number <= 0 ||
        number > MAX_CONNECT_TIMEOUT) {
        throw UsageError(label + " needs a number of seconds above 0 and at most 86400, not '" +
            value + "'");
    }
    return number;
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

using Value = const std::string &;

// The table's rows stay one line each where they can; the lambdas are the
// runner's own flags.
const std::vector<Flag> FLAGS = {
    {"config", 0, "FILE", FlagGroup::CONNECTION,
        "the plug-in's JSON configuration; the flags marked\n[key] override its keys",
        nullptr, nullptr,
        [](Options &o, Value l, Value v) { o.config = non_empty(l, v); }},
    {"host", 'h', "HOST", FlagGroup::CONNECTION,
        "broker host name or address [host];\ndefault localhost", "host", text, nullptr},
    {"port", 'p', "PORT", FlagGroup::CONNECTION, "broker port, 1 to 65535 [port]; default 1883",
        "port", port, nullptr},
    {"id", 'i', "ID", FlagGroup::CONNECTION, "MQTT client id [client_id]; default the agent UUID",
        "client_id", text, nullptr},
    {"connect-timeout", 0, "SECS", FlagGroup::CONNECTION,
        "how long to wait for the broker before any input\nis read; default 10",
        nullptr, nullptr,
        [](Options &o, Value l, Value v) { o.connect_timeout = seconds(l, v); }},

    {"cafile", 0, "FILE", FlagGroup::TLS, "CA certificates, PEM [ca_file]", "ca_file", text,
        nullptr},
    {"capath", 0, "DIR", FlagGroup::TLS, "directory of hashed CA certificates [ca_path]",
        "ca_path", text, nullptr},
    {"cert", 0, "FILE", FlagGroup::TLS, "client certificate, PEM [client_cert_file]",
        "client_cert_file", text, nullptr},
    {"key", 0, "FILE", FlagGroup::TLS, "its key, PEM, unencrypted [client_key_file]",
        "client_key_file", text, nullptr},
    {"insecure", 0, nullptr, FlagGroup::TLS,
        "accept a certificate that does not name the host\n[tls_insecure]",
        "tls_insecure", yes, nullptr},

    {"username", 'u', "USER", FlagGroup::CREDENTIALS, "user name [user]", "user", text, nullptr},
    {"pw-file", 0, "FILE", FlagGroup::CREDENTIALS, "the password: FILE's first line [pass]",
        nullptr, nullptr,
        [](Options &o, Value l, Value v) { o.password_file = non_empty(l, v); }},
    {"pw", 'P', "PASSWORD", FlagGroup::CREDENTIALS,
        "the password [pass]; other users can read it in\nthe process list: prefer --pw-file",
        nullptr, nullptr,
        [](Options &o, Value l, Value v) { o.password = non_empty(l, v); }},

    {"topic", 't', "TOPIC", FlagGroup::TOPIC, "topic template [topic]; ${channel} is the channel",
        "topic", text, nullptr},
    {"qos", 'q', "QOS", FlagGroup::TOPIC, "QoS 0, 1 or 2 [message_qos]; default 1", "message_qos",
        qos, nullptr},
    {"max-inflight", 'M', "N", FlagGroup::TOPIC,
        "QoS 1 and 2 messages in flight at once\n[max_inflight_messages]; default 1000 at QoS 1,\n"
        "20 at QoS 2",
        "max_inflight_messages", window, nullptr},
    {"retain", 'r', nullptr, FlagGroup::TOPIC,
        "the broker keeps each topic's last message\n[message_retain]", "message_retain", yes,
        nullptr},
    {"channel", 0, "NAME", FlagGroup::TOPIC,
        "a channel every payload goes to; repeatable;\ndefault one channel, \"default\"",
        nullptr, nullptr,
        [](Options &o, Value l, Value v) { o.channels.insert(non_empty(l, v)); }},

    {"input", 0, "FILE", FlagGroup::INPUT, "read payloads from FILE; - or none: standard input",
        nullptr, nullptr,
        [](Options &o, Value l, Value v) { o.input = non_empty(l, v); }},
    {"whole", 0, nullptr, FlagGroup::INPUT,
        "the whole input is one payload; default one per\nline, line ending removed",
        nullptr, nullptr, [](Options &o, Value, Value) { o.whole = true; }},

    {"uuid-agent", 0, "UUID", FlagGroup::IDENTITY,
        "the agent UUID (${uuid_agent}), the default client\nid; default derived from the first "
        "of\n/etc/machine-id, /var/lib/dbus/machine-id and\n"
        "/etc/hostid, else from the host name, else random",
        nullptr, nullptr,
        [](Options &o, Value l, Value v) { o.uuid_agent = non_empty(l, v); }},
    {"uuid-site", 0, "UUID", FlagGroup::IDENTITY, "the site UUID (${uuid_site})", nullptr,
        nullptr, [](Options &o, Value l, Value v) { o.uuid_site = non_empty(l, v); }},
    {"uuid-serial", 0, "UUID", FlagGroup::IDENTITY, "the serial UUID (${uuid_serial})", nullptr,
        nullptr, [](Options &o, Value l, Value v) { o.uuid_serial = non_empty(l, v); }},
    {"var", 0, "NAME=VALUE", FlagGroup::IDENTITY, "host variable ${NAME}; repeatable", nullptr,
        nullptr, add_variable},

    {"plugin", 0, "PATH", FlagGroup::RUNNER,
        "the plug-in library; default the one installed or\nbuilt beside this program",
        nullptr, nullptr,
        [](Options &o, Value l, Value v) { o.plugin = non_empty(l, v); }},
    {"stats", 0, nullptr, FlagGroup::RUNNER, "print a progress line every second", nullptr,
        nullptr, [](Options &o, Value, Value) { o.stats = true; }},
    {"debug", 0, nullptr, FlagGroup::RUNNER, "print the plug-in's debug log too", nullptr,
        nullptr, [](Options &o, Value, Value) { o.debug = true; }},
    {"help", 0, nullptr, FlagGroup::RUNNER, "print this help and exit", nullptr, nullptr,
        [](Options &o, Value, Value) { o.help = true; }},
    {"version", 0, nullptr, FlagGroup::RUNNER, "print the version and exit", nullptr, nullptr,
        [](Options &o, Value, Value) { o.version = true; }},
};

} // namespace

const std::vector<Flag> &all_flags()
{
    return FLAGS;
}

std::string flag_label(const Flag &flag)
{
    std::string label = std::string("--") + flag.name;
    return flag.letter == 0 ? label : std::string("-") + flag.letter + "/" + label;
}

const char *group_heading(FlagGroup group)
{
    switch (group) {
    case FlagGroup::CONNECTION: return "Connection:";
    case FlagGroup::TLS: return "TLS (used when --cafile or --capath is given):";
    case FlagGroup::CREDENTIALS: return "Credentials (sent only when both are set):";
    case FlagGroup::TOPIC: return "Topic and QoS:";
    case FlagGroup::INPUT: return "Input:";
    case FlagGroup::IDENTITY: return "Host identity:";
    case FlagGroup::RUNNER: return "Runner:";
    }
    return "";
}

const char *group_note(FlagGroup group)
{
    switch (group) {
    case FlagGroup::CREDENTIALS:
        return "The environment variable TAVRIX_SINK_RUN_PASSWORD gives the password too\n"
               "[pass], unless --pw-file or -P does.";
    default: return "";
    }
}
