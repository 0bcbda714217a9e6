#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <future>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include <scratch_dir.h>

#include "credentials.h"
#include "options.h"
#include "plugin_config.h"

namespace {

nlohmann::json read_json(const std::string &path)
{
    return nlohmann::json::parse(read_file(path), nullptr, true, true);
}

std::string joined(const std::vector<std::string> &words)
{
    std::string text;
    for (const std::string &word : words) {
        text += word + " ";
    }
    return text;
}

// The configuration a command line gives the plug-in, as the runner makes
// it: flags, password sources and the user's file.
struct Made {
    std::unique_ptr<PluginConfig> config;
    std::vector<std::string> warnings;
};

Made make(const std::vector<std::string> &arguments, const char *environment = nullptr,
    std::chrono::milliseconds pipe_limit = std::chrono::seconds(5))
{
    Made made;
    Options options = parse_options(arguments);
    made.config.reset(new PluginConfig(options.config,
        configuration_overrides(options, environment, made.warnings), pipe_limit));
    return made;
}

// What the plug-in reads: the configuration with the runner's own key.
nlohmann::json with_status(nlohmann::json configuration)
{
    configuration["report_status"] = true;
    return configuration;
}

TEST(PluginConfigTest, FlagsMakeTheConfigurationOrOverrideTheFilesKeys)
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
        Made made = make(row.arguments, row.environment);
        EXPECT_EQ(read_json(made.config->path()), with_status(row.expected))
            << joined(row.arguments);
        EXPECT_EQ(made.config->contents(), row.expected) << joined(row.arguments);
        EXPECT_TRUE(row.arguments.empty() || made.config->path() != row.arguments.back());
    }
}

TEST(PluginConfigTest, RefusesWhatItCannotMerge)
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
            ADD_FAILURE() << "accepted: " << joined(row.arguments);
        } catch (const UsageError &e) {
            EXPECT_TRUE(row.usage) << e.what();
            EXPECT_EQ(std::string(e.what()).substr(0, row.error.size()), row.error);
        } catch (const MergeError &e) {
            EXPECT_FALSE(row.usage) << e.what();
            EXPECT_EQ(std::string(e.what()).substr(0, row.error.size()), row.error);
        }
    }
}

// A FIFO (--config <(...)) is read once, as its writer gives it, within
// the limit; a reload cannot read it again.
TEST(PluginConfigTest, AFifoIsReadOnceWithinTheLimit)
{
    ScratchDir dir;
    std::string fifo = dir.file("fifo.json");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto writer = std::async(std::launch::async, [&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        std::ofstream(fifo) << R"({"topic": "from a pipe"})";
    });
    Made made = make({"--config", fifo});
    writer.get();
    EXPECT_EQ(read_json(made.config->path()), with_status({{"topic", "from a pipe"}}));
    EXPECT_THROW(made.config->refresh(), MergeError);

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

TEST(PluginConfigTest, ThePrivateCopyIsTheUsersAloneAndGoesAway)
{
    std::string path;
    {
        Made made = make({"-P", "secret"});
        path = made.config->path();
        struct stat file, directory;
        ASSERT_EQ(stat(path.c_str(), &file), 0);
        ASSERT_EQ(stat(path.substr(0, path.rfind('/')).c_str(), &directory), 0);
        EXPECT_EQ(file.st_mode & 07777, 0600u);
        EXPECT_EQ(directory.st_mode & 07777, 0700u);
        made.config->discard();
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "discard removes it at once";
        made.config->refresh();
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "and for good";
    }
    {
        Made made = make({"-t", "t"});
        path = made.config->path();
    }
    EXPECT_NE(access(path.c_str(), F_OK), 0);
    EXPECT_NE(access(path.substr(0, path.rfind('/')).c_str(), F_OK), 0);
}

TEST(PluginConfigTest, ARefreshTakesTheFilesEditsAndKeepsTheFlags)
{
    ScratchDir dir;
    std::string file = dir.write("c.json", R"({"host": "a", "topic": "file"})");
    Made made = make({"--config", file, "-t", "flag"});
    dir.write("c.json", R"({"host": "b", "topic": "edited", "port": 1884})");
    made.config->refresh();
    const nlohmann::json edited =
        with_status({{"host", "b"}, {"topic", "flag"}, {"port", 1884}});
    EXPECT_EQ(read_json(made.config->path()), edited);

    // What cannot be merged leaves the copy as it was.
    dir.write("c.json", R"({"host": )");
    EXPECT_THROW(made.config->refresh(), MergeError);
    unlink(file.c_str());
    EXPECT_THROW(made.config->refresh(), MergeError);
    EXPECT_EQ(read_json(made.config->path()), edited);
}

} // namespace
