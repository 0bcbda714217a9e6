// The --help text, made from the flag table so that no flag is left out.
#include <algorithm>
#include <cstring>

#include "flags.h"
#include "options.h"

namespace {

// Where the flags' texts begin: past the widest flag with its value.
constexpr std::size_t TEXT_COLUMN = 30;

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

constexpr const char *CLOSING =
    "\n"
    "SIGHUP rereads the configuration; SIGINT and SIGTERM stop reading, deliver\n"
    "what was read (a second signal cuts that short) and stop.\n"
    "\n"
    "Exit status: 0 everything delivered; 1 the plug-in failed, was refused or did\n"
    "not finish loading its configuration, or the input could not be read; 2 bad\n"
    "flags or missing files; 3 broker unreachable; 4 payloads lost; 128+N stopped\n"
    "by signal N.\n";

std::string flag_column(const Flag &flag)
{
    std::string text = flag.letter != 0 ? std::string("  -") + flag.letter + ", " : "      ";
    text += std::string("--") + flag.name;
    if (flag.value != nullptr) {
        text += std::string(" ") + flag.value;
    }
    text.resize(std::max(text.size() + 1, TEXT_COLUMN), ' ');
    return text;
}

std::string flag_lines(const Flag &flag)
{
    std::string lines = flag_column(flag);
    for (const char *c = flag.help; *c != '\0'; ++c) {
        lines += *c;
        if (*c == '\n') {
            lines += std::string(TEXT_COLUMN, ' ');
        }
    }
    return lines + "\n";
}

} // namespace

std::string usage_text()
{
    std::string text = INTRODUCTION;
    for (int g = 0; g <= static_cast<int>(FlagGroup::RUNNER); ++g) {
        FlagGroup group = static_cast<FlagGroup>(g);
        text += std::string("\n") + group_heading(group) + "\n";
        for (const Flag &flag : all_flags()) {
            text += flag.group == group ? flag_lines(flag) : "";
        }
        if (std::strlen(group_note(group)) > 0) {
            text += std::string(group_note(group)) + "\n";
        }
    }
    return text + CLOSING;
}
