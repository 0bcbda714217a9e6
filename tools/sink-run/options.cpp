#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include <getopt.h>

namespace {

// A day is far beyond any sensible wait for a broker, and keeps the
// deadline arithmetic clear of overflow.
constexpr double MAX_CONNECT_TIMEOUT = 86400.0;

std::string non_empty(const std::string &flag, const std::string &value)
{
    if (value.empty()) {
        throw UsageError(flag + " needs a non-empty value");
    }
    return value;
}

double parse_seconds(const std::string &flag, const std::string &text)
{
    char *end = nullptr;
    errno = 0;
    double seconds = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || errno != 0 || !std::isfinite(seconds) ||
        seconds <= 0 || seconds > MAX_CONNECT_TIMEOUT) {
        throw UsageError(flag + " needs a number of seconds above 0 and at most 86400, not '" +
            text + "'");
    }
    return seconds;
}

void add_variable(Options &options, const std::string &assignment)
{
    std::size_t equals = assignment.find('=');
    if (equals == std::string::npos || equals == 0) {
        throw UsageError("--var needs NAME=VALUE, not '" + assignment + "'");
    }
    std::string name = assignment.substr(0, equals);
    if (name.find_first_of("${}") != std::string::npos) {
        throw UsageError("--var NAME is written bare (it becomes ${NAME}), not '" + name + "'");
    }
    options.variables["${" + name + "}"] = assignment.substr(equals + 1);
}

enum Flag {
    PLUGIN = 256,
    CONFIG,
    CHANNEL,
    INPUT,
    WHOLE,
    UUID_AGENT,
    UUID_SITE,
    UUID_SERIAL,
    VAR,
    CONNECT_TIMEOUT,
    STATS,
    DEBUG,
    HELP,
    VERSION,
};

// Long options only: the short ones are kept for mosquitto_pub's letters.
const struct option LONG_OPTIONS[] = {
    {"plugin", required_argument, nullptr, PLUGIN},
    {"config", required_argument, nullptr, CONFIG},
    {"channel", required_argument, nullptr, CHANNEL},
    {"input", required_argument, nullptr, INPUT},
    {"whole", no_argument, nullptr, WHOLE},
    {"uuid-agent", required_argument, nullptr, UUID_AGENT},
    {"uuid-site", required_argument, nullptr, UUID_SITE},
    {"uuid-serial", required_argument, nullptr, UUID_SERIAL},
    {"var", required_argument, nullptr, VAR},
    {"connect-timeout", required_argument, nullptr, CONNECT_TIMEOUT},
    {"stats", no_argument, nullptr, STATS},
    {"debug", no_argument, nullptr, DEBUG},
    {"help", no_argument, nullptr, HELP},
    {"version", no_argument, nullptr, VERSION},
    {nullptr, 0, nullptr, 0},
};

std::string flag_name(int flag)
{
    for (const struct option *known = LONG_OPTIONS; known->name != nullptr; ++known) {
        if (known->val == flag) {
            return std::string("--") + known->name;
        }
    }
    return "?";
}

void apply(Options &options, int flag, const std::string &value)
{
    const std::string name = flag_name(flag);
    switch (flag) {
    case PLUGIN: options.plugin = non_empty(name, value); break;
    case CONFIG: options.config = non_empty(name, value); break;
    case CHANNEL: options.channels.insert(non_empty(name, value)); break;
    case INPUT: options.input = non_empty(name, value); break;
    case UUID_AGENT: options.uuid_agent = non_empty(name, value); break;
    case UUID_SITE: options.uuid_site = non_empty(name, value); break;
    case UUID_SERIAL: options.uuid_serial = non_empty(name, value); break;
    case VAR: add_variable(options, value); break;
    case CONNECT_TIMEOUT: options.connect_timeout = parse_seconds(name, value); break;
    case WHOLE: options.whole = true; break;
    case STATS: options.stats = true; break;
    case DEBUG: options.debug = true; break;
    case HELP: options.help = true; break;
    case VERSION: options.version = true; break;
    }
}

// What getopt_long refused: an unknown flag, or a value given to a flag
// that takes none ("--whole=yes"). A short flag is named by optopt, as it
// may stand in a cluster ("-xy").
UsageError refusal(const std::string &argument, int short_flag)
{
    if (short_flag > 0 && short_flag < 256) {
        return UsageError(std::string("unknown option '-") + static_cast<char>(short_flag) +
            "' (see --help)");
    }
    std::size_t equals = argument.find('=');
    std::string flag = argument.substr(0, equals);
    if (equals != std::string::npos && argument.compare(0, 2, "--") == 0) {
        for (const struct option *known = LONG_OPTIONS; known->name != nullptr; ++known) {
            if (known->has_arg == no_argument && flag == std::string("--") + known->name) {
                return UsageError(flag + " takes no value");
            }
        }
    }
    return UsageError("unknown option '" + flag + "' (see --help)");
}

// getopt_long keeps its place in globals; a parse starts it afresh.
void restart_getopt()
{
#ifdef __GLIBC__
    optind = 0;
#else
    optreset = 1;
    optind = 1;
#endif
    opterr = 0;
}

} // namespace

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

    Options options;
    restart_getopt();
    // "+": no reordering, the first operand ends the flags; ":": a missing
    // value is told apart from an unknown flag.
    for (int flag; (flag = getopt_long(argc, argv.data(), "+:", LONG_OPTIONS, nullptr)) != -1;) {
        if (flag == ':') {
            throw UsageError(flag_name(optopt) + " needs a value");
        }
        if (flag == '?') {
            throw refusal(words[static_cast<std::size_t>(optind - 1)], optopt);
        }
        apply(options, flag, optarg == nullptr ? std::string() : std::string(optarg));
    }
    if (optind < argc) {
        throw UsageError("unexpected argument '" + words[static_cast<std::size_t>(optind)] +
            "' (input comes from --input or standard input)");
    }
    if (options.help || options.version) {
        return options;
    }
    if (options.config.empty()) {
        throw UsageError("--config FILE is required (see --help)");
    }
    if (options.channels.empty()) {
        options.channels.insert("default");
    }
    return options;
}

std::string usage_text()
{
    return "Usage: tavrix-sink-run --config FILE [OPTION]...\n"
           "Delivers payloads from standard input (or --input FILE) to an MQTT broker\n"
           "through the tavrix-sink-mqtt plug-in, loaded as the agent loads it.\n"
           "\n"
           "  --config FILE            the plug-in's JSON configuration (required)\n"
           "  --plugin PATH            the plug-in library (default: the one installed\n"
           "                           or built beside this program)\n"
           "  --channel NAME           a channel every payload goes to; repeatable\n"
           "                           (default: one channel, \"default\")\n"
           "  --input FILE             read payloads from FILE (default: standard input)\n"
           "  --whole                  the whole input is one payload (default: one\n"
           "                           payload per line, line ending removed)\n"
           "  --uuid-agent UUID        the agent UUID, also the MQTT client id (default:\n"
           "                           derived from /etc/machine-id, else\n"
           "                           /var/lib/dbus/machine-id, else /etc/hostid, else\n"
           "                           the host name, else random)\n"
           "  --uuid-site UUID         the site UUID (${uuid_site})\n"
           "  --uuid-serial UUID       the serial UUID (${uuid_serial})\n"
           "  --var NAME=VALUE         host variable ${NAME}; repeatable\n"
           "  --connect-timeout SECS   how long to wait for the broker before any input\n"
           "                           is read (default: 10)\n"
           "  --stats                  print a progress line every second\n"
           "  --debug                  print the plug-in's debug log\n"
           "  --help                   print this help and exit\n"
           "  --version                print the version and exit\n"
           "\n"
           "SIGHUP rereads the configuration; SIGINT and SIGTERM stop reading, deliver\n"
           "what was read (a second signal cuts that short) and stop.\n"
           "\n"
           "Exit status: 0 everything delivered; 1 the plug-in failed or was refused,\n"
           "or the input could not be read; 2 bad flags or missing files; 3 broker\n"
           "unreachable; 4 payloads lost; 128+N stopped by signal N.\n";
}
