#include <gtest/gtest.h>

#include "options.h"

namespace {

Options parse(std::vector<std::string> arguments)
{
    return parse_options(arguments);
}

TEST(OptionsTest, DefaultsFillWhatTheFlagsLeaveOut)
{
    Options options = parse({"--config", "c.json"});
    EXPECT_EQ(options.config, "c.json");
    EXPECT_EQ(options.channels, (std::set<std::string>{"default"}));
    EXPECT_TRUE(options.plugin.empty());
    EXPECT_TRUE(options.input.empty());
    EXPECT_TRUE(options.uuid_agent.empty());
    EXPECT_DOUBLE_EQ(options.connect_timeout, 10.0);
    EXPECT_FALSE(options.whole || options.stats || options.debug);
}

TEST(OptionsTest, ValuesComeAsNextArgumentOrAfterEquals)
{
    Options options = parse({"--config=c.json", "--channel", "a", "--channel=b", "--channel",
        "a", "--plugin", "p.so", "--input=in", "--uuid-agent", "A", "--uuid-site=S",
        "--uuid-serial", "N", "--connect-timeout=2.5", "--whole", "--stats", "--debug"});
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
    Options options = parse({"--config", "c", "--var", "site=lab=2", "--var=empty=",
        "--var", "site2=x"});
    EXPECT_EQ(options.variables, (std::map<std::string, std::string>{
        {"${site}", "lab=2"}, {"${empty}", ""}, {"${site2}", "x"}}));
}

TEST(OptionsTest, HelpAndVersionNeedNoConfiguration)
{
    EXPECT_TRUE(parse({"--help"}).help);
    EXPECT_TRUE(parse({"--version"}).version);
}

TEST(OptionsTest, RefusesWhatItCannotUse)
{
    const std::vector<std::vector<std::string>> bad = {
        {},
        {"--channel", "a"},
        {"--config"},
        {"--config", ""},
        {"--config", "c", "--bogus"},
        {"--config", "c", "-c"},
        {"--config", "c", "stray"},
        {"--config", "c", "--stats=1"},
        {"--config", "c", "--channel="},
        {"--config", "c", "--uuid-agent", ""},
        {"--config", "c", "--var", "noequals"},
        {"--config", "c", "--var", "=value"},
        {"--config", "c", "--var", "${braced}=value"},
        {"--config", "c", "--connect-timeout", "0"},
        {"--config", "c", "--connect-timeout", "-1"},
        {"--config", "c", "--connect-timeout", "5s"},
        {"--config", "c", "--connect-timeout", "nan"},
        {"--config", "c", "--connect-timeout", "1e9"},
    };
    for (const auto &arguments : bad) {
        std::string joined;
        for (const auto &argument : arguments) {
            joined += argument + " ";
        }
        EXPECT_THROW(parse(arguments), UsageError) << joined;
    }
}

TEST(OptionsTest, UsageErrorsNameTheFlag)
{
    try {
        parse({"--config", "c", "--colour"});
        FAIL() << "no error";
    } catch (const UsageError &e) {
        EXPECT_STREQ(e.what(), "unknown option '--colour' (see --help)");
    }
}

} // namespace
