#include <gtest/gtest.h>

#include <sys/stat.h>

#include <scratch_dir.h>

#include "config_checks.h"
#include "plugin_config.h"

namespace {

const char *const NO_TOPIC =
    "the topic is empty: libmosquitto will refuse every publish (give -t TOPIC or \"topic\")";

TEST(ConfigChecksTest, WarnsOfWhatThePluginTakesSilentlyButCannotWork)
{
    const char *const user_only = "a user name without a password: the plug-in sends no"
                                  " credentials (give --pw-file FILE, TAVRIX_SINK_RUN_PASSWORD"
                                  " or \"pass\")";
    const char *const pass_only = "a password without a user name: the plug-in sends no"
                                  " credentials (give -u USER or \"user\")";
    struct Row {
        const char *configuration;
        std::vector<std::string> warnings;
    } rows[] = {
        {R"({"topic": "t/${channel}"})", {}},
        {R"({"topic": "t", "user": "u", "pass": "p", "port": 8883, "message_qos": 2})", {}},
        // Not an object: the plug-in reads no key, and says so itself for
        // what is not JSON.
        {"[1]", {}},
        {R"({})", {NO_TOPIC}},
        {R"({"topic": ""})", {NO_TOPIC}},
        {R"({"topic": "a/+/${a+b}"})",
            {"the topic a/+/${a+b} holds + or #: libmosquitto will refuse every publish to it"}},
        {R"({"topic": "a/${x#}/b"})", {}},
        {R"({"topic": 5})",
            {"\"topic\" is a number, not a string: the plug-in ignores it", NO_TOPIC}},
        {R"({"topic": null})", {NO_TOPIC}},
        {R"({"topic": "t", "user": "u"})", {user_only}},
        {R"({"topic": "t", "user": "u", "pass": ""})", {user_only}},
        {R"({"topic": "t", "pass": "p", "user": ["u"]})",
            {"\"user\" is an array, not a string: the plug-in ignores it", pass_only}},
        {R"({"topic": "t", "port": 0})",
            {"port 0 is port 0 to the plug-in, where no broker can be reached"}},
        {R"({"topic": "t", "port": 65536})",
            {"port 65536 is port 0 to the plug-in, where no broker can be reached"}},
        {R"({"topic": "t", "port": 70000})", {"port 70000 is port 4464 to the plug-in"}},
        {R"({"topic": "t", "port": 1883.9})", {"port 1883.9 is port 1883 to the plug-in"}},
        {R"({"topic": "t", "port": "1883"})",
            {"\"port\" is a string, not a number: the plug-in ignores it"}},
        {R"({"topic": "t", "message_qos": 3})",
            {"QoS 3: libmosquitto will refuse every publish (0, 1 or 2)"}},
        {R"({"topic": "t", "message_qos": 2.5})", {}},
        {R"({"topic": "t", "max_inflight_messages": 65535})", {}},
        {R"({"topic": "t", "max_inflight_messages": 0})",
            {"max_inflight_messages 0 is outside 1 to 65535: the plug-in uses its default "
             "(1000 at QoS 1, 20 at QoS 2)"}},
        {R"({"topic": "t", "message_retain": "true", "tls_insecure": 1})",
            {"\"message_retain\" is a string, not a boolean: the plug-in ignores it",
                "\"tls_insecure\" is a number, not a boolean: the plug-in ignores it"}},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(configuration_warnings(nlohmann::json::parse(row.configuration)), row.warnings)
            << row.configuration;
    }
}

TEST(ConfigChecksTest, APasswordEveryUserCanReadIsNamed)
{
    ScratchDir dir;
    std::string shared = dir.write("shared.json", R"({"topic": "t", "user": "u", "pass": "p"})");
    std::string no_pass = dir.write("no-pass.json", R"({"topic": "t"})");
    ASSERT_EQ(chmod(shared.c_str(), 0644), 0);
    ASSERT_EQ(chmod(no_pass.c_str(), 0644), 0);
    EXPECT_EQ(startup_warnings(PluginConfig(shared, nlohmann::json::object())),
        std::vector<std::string>{shared + " holds a password and every user can read it (mode"
                                          " 0644): chmod o-r " + shared});
    EXPECT_TRUE(startup_warnings(PluginConfig(no_pass, nlohmann::json::object())).empty());
    ASSERT_EQ(chmod(shared.c_str(), 0640), 0);
    EXPECT_TRUE(startup_warnings(PluginConfig(shared, nlohmann::json::object())).empty())
        << "its group is the owner's choice";
}

} // namespace
