#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <map>
#include <sstream>

#include <keys.h>

#include "options.h"

namespace {

TEST(OptionsTest, DefaultsFillWhatTheFlagsLeaveOut)
{
    Options options = parse_options({});
    EXPECT_TRUE(options.config.empty());
    EXPECT_EQ(options.settings, nlohmann::json::object());
    EXPECT_EQ(options.channels, (std::set<std::string>{"default"}));
    EXPECT_TRUE(options.plugin.empty());
    EXPECT_TRUE(options.input.empty());
    EXPECT_TRUE(options.uuid_agent.empty());
    EXPECT_DOUBLE_EQ(options.connect_timeout, 10.0);
    EXPECT_FALSE(options.whole || options.stats || options.debug);
}

TEST(OptionsTest, ValuesComeAsNextArgumentOrAfterEquals)
{
    Options options = parse_options({"--config=c.json", "--channel", "a", "--channel=b",
        "--channel", "a", "--plugin", "p.so", "--input=in", "--uuid-agent", "A", "--uuid-site=S",
        "--uuid-serial", "N", "--connect-timeout=2.5", "--whole", "--stats", "--debug", "-V",
        "mqttv311"});
    EXPECT_EQ(options.settings["protocol_version"], "3.1.1");
    EXPECT_EQ(options.config, "c.json");
    EXPECT_EQ(options.channels, (std::set<std::string>{"a", "b"}));
    EXPECT_EQ(options.plugin, "p.so");
    EXPECT_EQ(options.input, "in");
    EXPECT_EQ(options.uuid_agent, "A");
    EXPECT_EQ(options.uuid_site, "S");
    EXPECT_EQ(options.uuid_serial, "N");
    EXPECT_DOUBLE_EQ(options.connect_timeout, 2.5);
    EXPECT_TRUE(options.whole && options.stats && options.debug);
}

TEST(OptionsTest, VariablesBecomeWholeReferencesSplitAtTheFirstEquals)
{
    Options options = parse_options({"--config", "c", "--var", "site=lab=2", "--var=empty=",
        "--var", "site2=x"});
    EXPECT_EQ(options.variables, (std::map<std::string, std::string>{
        {"${site}", "lab=2"}, {"${empty}", ""}, {"${site2}", "x"}}));
}

// --help's words, one space apart: a text wrapped anywhere.
std::string flattened(const std::string &text)
{
    std::istringstream words(text);
    std::string flat;
    for (std::string word; words >> word;) {
        flat += word + " ";
    }
    return flat;
}

// A flag that sets a key names a key of the table, gives it a value of
// its kind, and shows the key and its default in --help as the table has
// them.
TEST(OptionsTest, KeyFlagsFollowTheTableOfKeys)
{
    const std::string help = flattened(usage_text());
    for (const Flag &flag : all_flags()) {
        const ConfigKey *key = flag.key != nullptr ? config_key(flag.key) : nullptr;
        if (flag.key == nullptr || key == nullptr) {
            EXPECT_TRUE(flag.key == nullptr && flag.convert == nullptr)
                << flag.name << " names no key of the table";
            continue;
        }
        EXPECT_NE(help.find(" [" + std::string(key->name) + "]"), std::string::npos) << flag.name;
        std::string shown = key->shown;
        shown.erase(std::remove(shown.begin(), shown.end(), '`'), shown.end());
        EXPECT_TRUE(shown == "empty" || shown == "false" ||
            help.find("]; default " + shown) != std::string::npos)
            << flag.name << " does not show the default " << shown;
        if (flag.convert == nullptr) {
            continue; // the password flags: the password is found later
        }
        // A value every flag takes: the versions have their own words.
        const std::map<std::string, std::string> values = {
            {"tls-version", "=tlsv1.3"}, {"protocol-version", "=5"}};
        std::string value = values.count(flag.name) ? values.at(flag.name) : "=1";
        std::string argument = std::string("--") + flag.name + (flag.value ? value : "");
        nlohmann::json settings = parse_options({argument}).settings;
        ASSERT_TRUE(settings.contains(key->name)) << argument;
        EXPECT_TRUE(config_converts(settings[key->name], key->kind))
            << argument << " gives " << settings[key->name].dump();
    }
}

TEST(OptionsTest, HelpAndVersionNeedNoConfiguration)
{
    EXPECT_TRUE(parse_options({"--help"}).help);
    EXPECT_TRUE(parse_options({"--version"}).version);
}

TEST(OptionsTest, RefusesValuesItCannotUseNamingTheFlag)
{
    const std::string timeout_error =
        "--connect-timeout needs a number of seconds above 0 and at most 86400, not '";
    const std::string port_error = "-p/--port needs a port from 1 to 65535, not '";
    struct Row {
        std::vector<std::string> arguments;
        std::string error;
    } rows[] = {
        {{"-p", "0"}, port_error + "0'"},
        {{"--port=65536"}, port_error + "65536'"},
        {{"-p", "99999"}, port_error + "99999'"},
        {{"-p", "+80"}, port_error + "+80'"},
        {{"-p", "1883x"}, port_error + "1883x'"},
        {{"-p", ""}, port_error + "'"},
        {{"-q", "3"}, "-q/--qos needs 0, 1 or 2, not '3'"},
        {{"--qos=-1"}, "-q/--qos needs 0, 1 or 2, not '-1'"},
        {{"-q", "01"}, "-q/--qos needs 0, 1 or 2, not '01'"},
        {{"-M", "0"}, "-M/--max-inflight needs a number from 1 to 65535, not '0'"},
        {{"--max-inflight=70000"},
            "-M/--max-inflight needs a number from 1 to 65535, not '70000'"},
        {{"-V", "3.1.1"}, "-V/--protocol-version needs mqttv5, 5, mqttv311 or 311, not '3.1.1'"},
        {{"-h", ""}, "-h/--host needs a non-empty value"},
        {{"-h", "a,b:0"}, "-h/--host needs a host, or name[:port] entries separated by commas"
                          " with ports from 1 to 65535, not 'a,b:0'"},
        {{"--will-qos", "3"}, "--will-qos needs 0, 1 or 2, not '3'"},
        {{"--tls-version", "tlsv1.1"}, "--tls-version needs tlsv1.2 or tlsv1.3, not 'tlsv1.1'"},
        {{"--topic="}, "-t/--topic needs a non-empty value"},
        {{"-P", "s", "--pw-file", "f"},
            "-P/--pw and --pw-file both give the password; give one of them"},
        {{"--config", ""}, "--config needs a non-empty value"},
        {{"--config", "c", "stray"},
            "unexpected argument 'stray' (input comes from --input or standard input)"},
        {{"--config", "c", "--channel="}, "--channel needs a non-empty value"},
        {{"--config", "c", "--uuid-agent", ""}, "--uuid-agent needs a non-empty value"},
        {{"--config", "c", "--var", "noequals"}, "--var needs NAME=VALUE, not 'noequals'"},
        {{"--config", "c", "--var", "=value"}, "--var needs NAME=VALUE, not '=value'"},
        {{"--config", "c", "--var", "${braced}=value"},
            "--var NAME is written bare (it becomes ${NAME}), not '${braced}'"},
        {{"--config", "c", "--connect-timeout", "0"}, timeout_error + "0'"},
        {{"--config", "c", "--connect-timeout", "-1"}, timeout_error + "-1'"},
        {{"--config", "c", "--connect-timeout", "5s"}, timeout_error + "5s'"},
        {{"--config", "c", "--connect-timeout", "nan"}, timeout_error + "nan'"},
        {{"--config", "c", "--connect-timeout", "1e9"}, timeout_error + "1e9'"},
    };
    for (const Row &row : rows) {
        std::string joined = testing::PrintToString(row.arguments);
        try {
            parse_options(row.arguments);
            ADD_FAILURE() << "accepted: " << joined;
        } catch (const UsageError &e) {
            EXPECT_EQ(e.what(), row.error) << joined;
        }
    }
}

// A word of `text` begins with `name`, however the C library quotes it
// (a shortened flag may be named whole): a letter is not one inside a
// word.
bool names(const std::string &text, const std::string &name)
{
    for (std::size_t at = text.find(name); at != std::string::npos; at = text.find(name, at + 1)) {
        if (at == 0 || !std::isalnum(static_cast<unsigned char>(text[at - 1]))) {
            return true;
        }
    }
    return false;
}

// What getopt_long refuses it says itself, in words that differ between C
// libraries; only that it names the flag is held to, and that the runner
// then points to --help.
TEST(OptionsTest, GetoptNamesWhatItRefuses)
{
    struct Row {
        std::vector<std::string> arguments;
        const char *named;
    } rows[] = {
        // A value missing.
        {{"-p"}, "p"},
        {{"--port"}, "port"},
        {{"--config"}, "config"},
        {{"--config", "c", "--channel"}, "channel"},
        // A value to a flag that takes none, shortened too.
        {{"--retain=yes"}, "ret"},
        {{"--ret=yes"}, "ret"},
        {{"--insecure=1"}, "insecure"},
        {{"--config", "c", "--stats=1"}, "stats"},
        {{"--config", "c", "--whole=yes"}, "whole"},
        // Unknown, alone or in a cluster, and ambiguous.
        {{"--whole", "-xy"}, "x"},
        {{"-rx"}, "x"},
        {{"--config", "c", "--colour"}, "colour"},
        {{"--config", "c", "-c"}, "c"},
        {{"--config", "c", "-:"}, ":"},
        {{"--config", "c", "--uuid"}, "uuid"},
    };
    for (const Row &row : rows) {
        std::string joined = testing::PrintToString(row.arguments);
        testing::internal::CaptureStderr();
        try {
            parse_options(row.arguments);
            ADD_FAILURE() << "accepted: " << joined;
        } catch (const UsageError &e) {
            EXPECT_STREQ(e.what(), "try --help") << joined;
        }
        std::string said = testing::internal::GetCapturedStderr();
        EXPECT_TRUE(names(said, row.named)) << joined << ": " << said;
    }
}

TEST(OptionsTest, EveryParseStartsAfresh)
{
    testing::internal::CaptureStderr();
    EXPECT_THROW(parse_options({"--config", "c", "-xy"}), UsageError);
    EXPECT_THROW(parse_options({"--config", "c", "--u", "x"}), UsageError) << "--u is ambiguous";
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(parse_options({"--conf", "c", "--deb"}).config, "c")
        << "unambiguous prefixes are flags";
    EXPECT_EQ(parse_options({"-rp1883", "-t", "a", "-M500"}).settings,
        (nlohmann::json{{"message_retain", true}, {"port", 1883}, {"topic", "a"},
            {"max_inflight_messages", 500}}))
        << "a cluster of short flags, the last with its value";
}

} // namespace
