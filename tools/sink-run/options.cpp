#include "options.h"

#include <getopt.h>

#include "flags.h"

namespace {

// getopt_long's value for a flag: its letter, or a number past every
// character for one without.
int value_of(std::size_t index)
{
    const Flag &flag = all_flags()[index];
    return flag.letter != 0 ? flag.letter : 256 + static_cast<int>(index);
}

const Flag *flag_of(int value)
{
    for (std::size_t i = 0; i < all_flags().size(); ++i) {
        if (value_of(i) == value) {
            return &all_flags()[i];
        }
    }
    return nullptr;
}

std::vector<struct option> long_options()
{
    std::vector<struct option> options;
    for (std::size_t i = 0; i < all_flags().size(); ++i) {
        const Flag &flag = all_flags()[i];
        options.push_back({flag.name, flag.value ? required_argument : no_argument, nullptr,
            value_of(i)});
    }
    options.push_back({nullptr, 0, nullptr, 0});
    return options;
}

// "+": no reordering, the first operand ends the flags; ":": a missing
// value is told apart from an unknown flag.
std::string short_options()
{
    std::string letters = "+:";
    for (const Flag &flag : all_flags()) {
        if (flag.letter != 0) {
            letters += flag.letter;
            letters += flag.value ? ":" : "";
        }
    }
    return letters;
}

void apply(Options &options, const Flag &flag, const std::string &value)
{
    const std::string label = flag_label(flag);
    if (flag.key != nullptr) {
        options.settings[flag.key] = flag.convert(label, value);
    } else {
        flag.apply(options, label, value);
    }
}

std::string ambiguity(const std::string &written)
{
    std::string matches;
    int count = 0;
    for (const Flag &flag : all_flags()) {
        std::string name = std::string("--") + flag.name;
        if (name.compare(0, written.size(), written) == 0) {
            matches += (count++ == 0 ? "" : ", ") + name;
        }
    }
    return count > 1 ? matches : std::string();
}

// What getopt_long refused: an unknown or ambiguous long flag, a value
// given to a long flag that takes none ("--whole=yes", which it names by
// optopt), or an unknown short flag, named by optopt as it may stand in a
// cluster ("-xy"). `argument` is the word getopt_long last stepped past:
// in a cluster it has not stepped past the cluster yet.
UsageError refusal(const std::string &argument, int named)
{
    if (argument.compare(0, 2, "--") == 0) {
        std::size_t equals = argument.find('=');
        std::string written = argument.substr(0, equals);
        const Flag *flag = flag_of(named);
        if (flag != nullptr && equals != std::string::npos &&
            std::string("--").append(flag->name).compare(0, written.size(), written) == 0) {
            return UsageError(flag_label(*flag) + " takes no value");
        }
        if (named == 0) {
            std::string matches = ambiguity(written);
            return UsageError(matches.empty()
                    ? "unknown option '" + written + "' (see --help)"
                    : "option '" + written + "' is ambiguous: " + matches);
        }
    }
    return UsageError(std::string("unknown option '-") + static_cast<char>(named) +
        "' (see --help)");
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

void check_choices(Options &options)
{
    if (!options.password.empty() && !options.password_file.empty()) {
        throw UsageError("-P/--pw and --pw-file both give the password; give one of them");
    }
    if (options.channels.empty()) {
        options.channels.insert("default");
    }
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
    const std::vector<struct option> longs = long_options();
    const std::string shorts = short_options();

    Options options;
    restart_getopt();
    for (int value; (value = getopt_long(argc, argv.data(), shorts.c_str(), longs.data(),
                         nullptr)) != -1;) {
        if (value == ':') {
            // Some getopt_long (FreeBSD's) also answer ':' for a value
            // given to a flag that takes none: the table tells which.
            const Flag *named = flag_of(optopt);
            if (named == nullptr) {
                throw refusal(words[static_cast<std::size_t>(optind - 1)], optopt);
            }
            throw UsageError(flag_label(*named) +
                (named->value != nullptr ? " needs a value" : " takes no value"));
        }
        const Flag *flag = value == '?' ? nullptr : flag_of(value);
        if (flag == nullptr) {
            throw refusal(words[static_cast<std::size_t>(optind - 1)], optopt);
        }
        apply(options, *flag, optarg == nullptr ? std::string() : std::string(optarg));
    }
    if (optind < argc) {
        throw UsageError("unexpected argument '" + words[static_cast<std::size_t>(optind)] +
            "' (input comes from --input or standard input)");
    }
    if (!options.help && !options.version) {
        check_choices(options);
    }
    return options;
}
