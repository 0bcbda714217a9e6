#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace {

// A day is far beyond any sensible wait for a broker, and keeps the
// deadline arithmetic clear of overflow.
constexpr double MAX_CONNECT_TIMEOUT = 86400.0;

struct Argument {
    std::string flag;
    std::string value;
    bool has_value;
};

Argument split(const std::string &argument)
{
    std::size_t equals = argument.find('=');
    if (argument.compare(0, 2, "--") != 0 || equals == std::string::npos) {
        return {argument, std::string(), false};
    }
    return {argument.substr(0, equals), argument.substr(equals + 1), true};
}

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

// Flags whose value is stored as given.
const std::map<std::string, std::string Options::*> &text_flags()
{
    static const std::map<std::string, std::string Options::*> flags = {
        {"--plugin", &Options::plugin},
        {"--config", &Options::config},
        {"--uuid-agent", &Options::uuid_agent},
        {"--uuid-site", &Options::uuid_site},
        {"--uuid-serial", &Options::uuid_serial},
        {"--input", &Options::input},
    };
    return flags;
}

bool takes_value(const std::string &flag)
{
    return text_flags().count(flag) != 0 || flag == "--channel" || flag == "--var" ||
        flag == "--connect-timeout";
}

void apply_value(Options &options, const std::string &flag, const std::string &value)
{
    auto text = text_flags().find(flag);
    if (text != text_flags().end()) {
        options.*(text->second) = non_empty(flag, value);
    } else if (flag == "--channel") {
        options.channels.insert(non_empty(flag, value));
    } else if (flag == "--var") {
        add_variable(options, value);
    } else {
        options.connect_timeout = parse_seconds(flag, value);
    }
}

const std::map<std::string, bool Options::*> &switch_flags()
{
    static const std::map<std::string, bool Options::*> flags = {
        {"--whole", &Options::whole},
        {"--stats", &Options::stats},
        {"--debug", &Options::debug},
        {"--help", &Options::help},
        {"--version", &Options::version},
    };
    return flags;
}

} // namespace

Options parse_options(const std::vector<std::string> &arguments)
{
    Options options;
    for (std::size_t at = 0; at < arguments.size(); ++at) {
        Argument argument = split(arguments[at]);
        if (takes_value(argument.flag)) {
            if (!argument.has_value) {
                if (at + 1 >= arguments.size()) {
                    throw UsageError(argument.flag + " needs a value");
                }
                argument.value = arguments[++at];
            }
            apply_value(options, argument.flag, argument.value);
            continue;
        }
        auto toggle = switch_flags().find(argument.flag);
        if (toggle != switch_flags().end()) {
            if (argument.has_value) {
                throw UsageError(argument.flag + " takes no value");
            }
            options.*(toggle->second) = true;
            continue;
        }
        if (argument.flag.compare(0, 1, "-") == 0) {
            throw UsageError("unknown option '" + argument.flag + "' (see --help)");
        }
        throw UsageError("unexpected argument '" + argument.flag +
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
           "                           derived from /etc/machine-id, else random)\n"
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
