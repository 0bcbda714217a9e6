#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>

#include <sys/stat.h>
#include <unistd.h>

#include <scratch_dir.h>

#include "configuration.h"
#include "options.h"

namespace {

nlohmann::json read_json(const std::string &path)
{
    return nlohmann::json::parse(read_file(path), nullptr, true, true);
}

// The configuration a command line gives the plug-in, as the runner makes
// it: flags, password sources and the user's file.
std::unique_ptr<PluginConfig> make(const std::vector<std::string> &arguments,
    const char *environment = nullptr,
    std::chrono::milliseconds pipe_limit = std::chrono::seconds(5))
{
    Options options = parse_options(arguments);
    std::vector<std::string> warnings;
    return std::make_unique<PluginConfig>(options.config,
        configuration_overrides(options, environment, warnings), pipe_limit);
}

// What the plug-in reads: the configuration with the runner's own key.
nlohmann::json with_status(nlohmann::json configuration)
{
    configuration["report_status"] = true;
    return configuration;
}

TEST(ConfigurationTest, FlagsMakeTheConfigurationOrOverrideTheFilesKeys)
{
    ScratchDir dir;
    std::string password_file = dir.write("pw", "from-file\r\nsecond line\n");
    std::string commented = dir.write("commented.json",
        "/* the lab */ {\"host\": \"a\", \"port\": 1883, // plain\n"
        " \"topic\": \"x\", \"extra\": [1], \"pass\": \"old\"}");
    std::string null_file = dir.write("null.json", "null");
    const std::vector<std::string> every_flag = {"-h", "b", "-p", "8883", "-t", "t/${channel}",
        "-q", "0", "-r", "-u", "bob", "--cafile", "ca", "--capath", "cas", "--cert", "c.pem",
        "--key", "k.pem", "--insecure", "-i", "id-${uuid_agent}"};
    const nlohmann::json every_key = {{"host", "b"}, {"port", 8883}, {"topic", "t/${channel}"},
        {"message_qos", 0}, {"message_retain", true}, {"user", "bob"}, {"ca_file", "ca"},
        {"ca_path", "cas"}, {"client_cert_file", "c.pem"}, {"client_key_file", "k.pem"},
        {"tls_insecure", true}, {"client_id", "id-${uuid_agent}"}};
    struct Row {
        std::vector<std::string> arguments;
        const char *environment; // the password variable's value
        nlohmann::json expected; // what the plug-in reads
    } rows[] = {
        {every_flag, nullptr, every_key},
        {{"--host=b", "--port=8883", "--topic=t/${channel}", "--qos=0", "--retain",
             "--username=bob", "--cafile=ca", "--capath=cas", "--cert=c.pem", "--key=k.pem",
             "--insecure", "--id=id-${uuid_agent}"},
            nullptr, every_key},
        {{}, nullptr, nlohmann::json::object()},
        {{"-t", "a", "--topic", "b", "-q1", "-q2"}, nullptr, {{"topic", "b"}, {"message_qos", 2}}},
        // Where the password comes from: --pw-file, else -P, else the
        // environment; an empty variable gives none.
        {{"-u", "u", "-P", "flag"}, "environment", {{"user", "u"}, {"pass", "flag"}}},
        {{"--pw-file", password_file}, "environment", {{"pass", "from-file"}}},
        {{"-u", "u"}, "environment", {{"user", "u"}, {"pass", "environment"}}},
        {{"-u", "u"}, "", {{"user", "u"}}},
        // A file with flags: the flags' keys over the file's, the rest as
        // the file has it, comments gone.
        {{"--config", commented, "-h", "b", "-q", "2"}, nullptr,
            {{"host", "b"}, {"port", 1883}, {"topic", "x"}, {"extra", {1}}, {"pass", "old"},
                {"message_qos", 2}}},
        {{"--config", commented}, "new",
            {{"host", "a"}, {"port", 1883}, {"topic", "x"}, {"extra", {1}}, {"pass", "new"}}},
        {{"--config", null_file, "-t", "t"}, nullptr, {{"topic", "t"}}},
        // Without flags too the plug-in reads a copy: the runner's own key
        // goes over the file's.
        {{"--config", commented}, nullptr,
            {{"host", "a"}, {"port", 1883}, {"topic", "x"}, {"extra", {1}}, {"pass", "old"}}},
        {{"--config", null_file}, nullptr, nlohmann::json::object()},
    };
    for (const Row &row : rows) {
        std::string arguments = testing::PrintToString(row.arguments);
        auto config = make(row.arguments, row.environment);
        EXPECT_EQ(read_json(config->path()), with_status(row.expected)) << arguments;
        EXPECT_EQ(config->contents(), row.expected) << arguments;
        EXPECT_TRUE(row.arguments.empty() || config->path() != row.arguments.back());
    }
}

TEST(ConfigurationTest, RefusesWhatItCannotMerge)
{
    ScratchDir dir;
    std::string fifo = dir.file("fifo.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string array = dir.write("array.json", "[1]");
    std::string broken = dir.write("broken.json", "{\"host\": ");
    std::string empty_pw = dir.write("empty-pw", "\nsecond\n");
    std::string missing = dir.file("missing");
    struct Row {
        std::vector<std::string> arguments;
        std::string error;
        bool usage; // a UsageError (exit 2), else the file's fault (exit 1)
    } rows[] = {
        {{"--config", fifo, "-t", "t"},
            "configuration " + fifo +
                " is not a regular file: flags can override the keys of a regular file only",
            true},
        {{"--config", missing, "-t", "t"},
            "cannot read configuration " + missing + ": No such file or directory", false},
        {{"--config", array, "-t", "t"},
            "configuration " + array + " holds no JSON object whose keys flags could override",
            false},
        {{"--config", broken, "-t", "t"}, "configuration " + broken + " is not valid JSON: ",
            false},
        {{"--pw-file", missing}, "cannot read password file " + missing + ": No such file",
            true},
        {{"--pw-file", empty_pw},
            "password file " + empty_pw + " holds no password on its first line", true},
        {{"-t", "\xff"},
            "a flag's value is not valid UTF-8, which a JSON configuration cannot carry", true},
    };
    for (const Row &row : rows) {
        try {
            make(row.arguments);
            ADD_FAILURE() << "accepted: " << testing::PrintToString(row.arguments);
        } catch (const std::runtime_error &e) {
            EXPECT_EQ(dynamic_cast<const UsageError *>(&e) != nullptr, row.usage) << e.what();
            EXPECT_NE(dynamic_cast<const MergeError *>(&e) != nullptr, row.usage) << e.what();
            EXPECT_EQ(std::string(e.what()).substr(0, row.error.size()), row.error);
        }
    }
}

// A FIFO (--config <(...)) is read once, as its writer gives it, within
// the limit; a reload cannot read it again.
TEST(ConfigurationTest, AFifoIsReadOnceWithinTheLimit)
{
    ScratchDir dir;
    std::string fifo = dir.file("fifo.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    // The writer's open waits until the runner has opened the FIFO: it
    // comes after the runner began waiting for it.
    auto writer = std::async(std::launch::async,
        [&] { std::ofstream(fifo) << R"({"topic": "from a pipe"})"; });
    auto config = make({"--config", fifo});
    writer.get();
    EXPECT_EQ(read_json(config->path()), with_status({{"topic", "from a pipe"}}));
    EXPECT_THROW(config->refresh(), MergeError);

    auto started = std::chrono::steady_clock::now();
    try {
        make({"--config", fifo}, nullptr, std::chrono::milliseconds(200));
        ADD_FAILURE() << "a FIFO without a writer was taken";
    } catch (const MergeError &e) {
        EXPECT_EQ(std::string(e.what()),
            "configuration " + fifo + " gave nothing to read (a FIFO without a writer?)");
    }
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
}

TEST(ConfigurationTest, ThePrivateCopyIsTheUsersAloneAndGoesAway)
{
    std::string path;
    {
        auto config = make({"-P", "secret"});
        path = config->path();
        struct stat file, directory;
        ASSERT_EQ(stat(path.c_str(), &file), 0);
        ASSERT_EQ(stat(path.substr(0, path.rfind('/')).c_str(), &directory), 0);
        EXPECT_EQ(file.st_mode & 07777, 0600u);
        EXPECT_EQ(directory.st_mode & 07777, 0700u);
        config->discard();
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "discard removes it at once";
        config->refresh();
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "and for good";
    }
    {
        auto config = make({"-t", "t"});
        path = config->path();
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_NE(access(path.substr(0, path.rfind('/')).c_str(), F_OK), 0);
}

TEST(ConfigurationTest, ARefreshTakesTheFilesEditsAndKeepsTheFlags)
{
    ScratchDir dir;
    std::string file = dir.write("c.json", R"({"host": "a", "topic": "file"})");
    auto config = make({"--config", file, "-t", "flag"});
    dir.write("c.json", R"({"host": "b", "topic": "edited", "port": 1884})");
    config->refresh();
    const nlohmann::json edited =
        with_status({{"host", "b"}, {"topic", "flag"}, {"port", 1884}});
    EXPECT_EQ(read_json(config->path()), edited);

    // What cannot be merged leaves the copy as it was.
    dir.write("c.json", R"({"host": )");
    EXPECT_THROW(config->refresh(), MergeError);
    unlink(file.c_str());
    EXPECT_THROW(config->refresh(), MergeError);
    EXPECT_EQ(read_json(config->path()), edited);
}

const char *const NO_TOPIC =
    "the topic is empty: libmosquitto will refuse every publish (give -t TOPIC or \"topic\")";

TEST(ConfigurationTest, WarnsOfWhatThePluginTakesSilentlyButCannotWork)
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
             "(4096 at QoS 1, 20 at QoS 2)"}},
        {R"({"topic": "t", "tls_alpn": "x-amzn-mqtt-ca", "tls_version": "tlsv1.3"})",
            {"tls_alpn without TLS: the plug-in ignores it (give --cafile, --capath or "
             "--tls-use-os-certs)",
                "tls_version without TLS: the plug-in ignores it (give --cafile, --capath or "
                "--tls-use-os-certs)"}},
        {R"({"topic": "t", "tls_use_os_certs": true, "tls_alpn": "a", "tls_version": "TLSv1.3"})",
            {}},
        {R"({"topic": "t", "tls_use_os_certs": true, "ca_path": "/ca", "tls_version": "tls1.3"})",
            {"tls_use_os_certs beside ca_file or ca_path: the plug-in trusts those alone, not "
             "the system's CA store",
                "tls_version tls1.3: libmosquitto refuses it and every connection attempt fails "
                "(tlsv1.2 or tlsv1.3)"}},
        {R"({"topic": "t", "host": " a , [::1]:1884,::1, b:2 ", "will_topic": "s/${id}"})", {}},
        {R"({"topic": "t", "host": "a,,b:0", "will_topic": "s/#", "will_qos": 3})",
            {"the will topic s/# holds + or #: libmosquitto refuses the will and every "
             "connection attempt fails",
                "will_qos 3 is outside 0 to 2: the plug-in uses 1",
                "host: \"\" is no broker address (name[:port], the port from 1 to 65535): skipped",
                "host: \"b:0\" is no broker address (name[:port], the port from 1 to 65535): "
                "skipped"}},
        {R"({"topic": "t", "host": "", "birth_payload": "up"})",
            {"birth_payload without will_topic: the plug-in ignores it (give --will-topic)",
                "host: \"\" is no broker address (name[:port], the port from 1 to 65535): skipped",
                "host: no usable broker address: connecting to localhost:1883"}},
        {R"({"topic": "t", "message_retain": "true", "tls_insecure": 1})",
            {"\"message_retain\" is a string, not a boolean: the plug-in ignores it",
                "\"tls_insecure\" is a number, not a boolean: the plug-in ignores it"}},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(configuration_warnings(nlohmann::json::parse(row.configuration)), row.warnings)
            << row.configuration;
    }
}

TEST(ConfigurationTest, APasswordEveryUserCanReadIsNamed)
{
    ScratchDir dir;
    std::string shared = dir.write("shared.json", R"({"topic": "t", "user": "u", "pass": "p"})");
    std::string no_pass = dir.write("no-pass.json", R"({"topic": "t"})");
    ASSERT_EQ(chmod(shared.c_str(), 0644), 0);
    ASSERT_EQ(chmod(no_pass.c_str(), 0644), 0);
    EXPECT_EQ(PluginConfig(shared, nlohmann::json::object()).warnings(),
        std::vector<std::string>{shared + " holds a password and every user can read it (mode"
                                          " 0644): chmod o-r " + shared});
    EXPECT_TRUE(PluginConfig(no_pass, nlohmann::json::object()).warnings().empty());
    ASSERT_EQ(chmod(shared.c_str(), 0640), 0);
    EXPECT_TRUE(PluginConfig(shared, nlohmann::json::object()).warnings().empty())
        << "its group is the owner's choice";
}

} // namespace
