/*
 * Shared fixtures of the unit tests: a host with a global configuration,
 * captured log lines, the fake reset around every test, and an instance.
 */
#ifndef TAVRIX_TESTS_UNIT_TEST_SUPPORT_H
#define TAVRIX_TESTS_UNIT_TEST_SUPPORT_H

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <host/tavrixd.h>

#include <scratch_dir.h>
#include <wait.h>

#include "asp_plugin.h"
#include "fake_mosquitto.h"

extern "C" agPlugin *agPluginInit(const std::string &tag,
    const std::map<std::string, std::string> &params);

using Lines = std::vector<std::string>;

/* The calls of a first attempt and of a later one, to the default broker. */
const std::string NEW_CLIENT = "mosquitto_new(\"agent-uuid\", true)";
const std::string REINITIALISE = "mosquitto_reinitialise(\"agent-uuid\", true)";
const std::string CONNECT = "mosquitto_connect_async(\"localhost\", 1883, 15)";

/* The publish requests the fake recorded, and one as it records it. */
inline Lines published()
{
    return fake::calls_of("mosquitto_publish(");
}
inline std::string publish_of(
    const std::string &topic, std::size_t length = 1, int qos = 1, bool retain = false)
{
    return "mosquitto_publish(mid, \"" + topic + "\", " + std::to_string(length) + ", " +
        std::to_string(qos) + ", " + (retain ? "true" : "false") + ")";
}

/* Matches a list of calls that holds `expected` in this order, with any
 * other calls before, between and after them: the orders the plug-in must
 * keep, without the incidental calls it may make or leave out. */
MATCHER_P(HasSubsequence, expected,
    std::string(negation ? "does not hold " : "holds ") + ::testing::PrintToString(expected) +
        " in this order")
{
    auto next = expected.begin();
    for (const auto &item : arg) {
        if (next != expected.end() && item == *next) {
            ++next;
        }
    }
    return next == expected.end();
}

/* Every line the host logger receives, debug output on. */
class LogCapture
{
public:
    LogCapture();
    ~LogCapture();
    Lines lines() const { return matching([](const Line &) { return true; }); }
    Lines notices() const
    {
        return matching([](const Line &line) { return line.level == agLogLevel::NOTICE; });
    }
    Lines containing(const std::string &text) const
    {
        return matching(
            [&](const Line &line) { return line.text.find(text) != std::string::npos; });
    }
    void clear();
    /* Runs `action` inside the logger whenever a line containing `text`
     * arrives; the action must not log. */
    void on_line(const std::string &text, std::function<void()> action);

private:
    struct Line {
        agLogLevel level;
        std::string text;
    };
    Lines matching(const std::function<bool(const Line &)> &wanted) const;
    mutable std::mutex lock;
    std::vector<Line> captured;
    std::string trigger;
    std::function<void()> trigger_action;
};

/* The instance's own state, for the tests that must set or see it:
 * PluginPeer(*plugin).connected = true. */
class PluginPeer
{
public:
    explicit PluginPeer(aspPlugin &plugin);

    std::atomic<bool> &reload_pending;
    bool &connected;
    bool &connecting;
    struct mosquitto *&mosq;
#define CONFIG_KEY(name, kind, type, initial, shown, help) type &name;
#include "config_keys.def"
#undef CONFIG_KEY
    std::string &uuid_agent;
    std::string &uuid_serial;
    std::string &uuid_site;
    std::map<std::string, std::string> &variables;
    WorkerWakeup &wakeup;
    TopicCache &topics;
    PublishRecord &record;

    /* Makes the attempt under way look `age` past its connect call. */
    void age_attempt(std::chrono::seconds age) { plugin.connect_returned -= age; }
    /* How long until the connect step may run again. */
    std::chrono::steady_clock::duration retry_in() const
    {
        return plugin.next_attempt - std::chrono::steady_clock::now();
    }

private:
    aspPlugin &plugin;
};

/* A host: a global configuration with three UUIDs, the fake reset and the
 * log captured. */
class HostTest : public ::testing::Test
{
protected:
    void SetUp() override;
    void TearDown() override;

    /* An instance through the entry point; null when refused. */
    std::unique_ptr<aspPlugin> make_plugin(const std::map<std::string, std::string> &params = {});

    /* A configuration file holding `json`, as the "config" parameter. */
    std::map<std::string, std::string> config_params(const std::string &json);

    agGlobalConfig config;
    ScratchDir files;
    std::unique_ptr<LogCapture> log;
};

/* A host with one instance under test, destroyed before the host. */
class PluginTest : public HostTest
{
protected:
    void TearDown() override;

    /* Makes `plugin` for the agent "agent-uuid", with its client made when
     * `init` (its callbacks kept for the fake to fire), then forgets the
     * calls and lines of the making. */
    void make(const std::map<std::string, std::string> &params = {}, bool init = false);
    /* Loads the configuration file as the worker's first pass does. */
    void reload();
    /* Queues a payload with the host, as a host thread does. */
    void queue(const std::string &bytes, std::set<std::string> channels = {"a"});
    void queue_many(std::size_t count, const std::string &bytes = "x");
    /* Runs the worker, connected, through a broken connection: pass 1
     * publishes what is queued and the broker acknowledges the oldest;
     * pass 2 loses the connection; pass 3 connects again; pass 4 reads the
     * CONNACK, then runs `on_connack`; pass 5 publishes. */
    void break_and_reconnect(const std::function<void()> &on_connack = {});

    std::unique_ptr<aspPlugin> plugin;
};

inline std::shared_ptr<agPluginSinkPayload> payload(
    const std::string &bytes, std::set<std::string> channels = {"a"})
{
    return std::make_shared<agPluginSinkPayload>(bytes.data(), bytes.size(), std::move(channels));
}

/* A connected pair of sockets: the client's end stands in for the one
 * libmosquitto holds. */
class SocketPair
{
public:
    SocketPair()
    {
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) {
            throw std::runtime_error("socketpair");
        }
    }
    ~SocketPair()
    {
        close(fds[0]);
        close(fds[1]);
    }
    int client() const { return fds[0]; }
    /* Makes the client's end readable. */
    void send_to_client() const { (void)!write(fds[1], "x", 1); }
    /* Fills the client's end until it is no longer writable. */
    void fill_client() const
    {
        const char bytes[4096] = {};
        while (send(fds[0], bytes, sizeof bytes, MSG_DONTWAIT) > 0) {
        }
    }

private:
    int fds[2];
};

/* The fixture of a parameterised test whose rows are `Row`s. */
template <typename Fixture, typename Row>
class WithRows : public Fixture, public ::testing::WithParamInterface<Row>
{
};

/* Names a parameterised test's rows after their `name` member. */
struct RowName {
    template <typename Row>
    std::string operator()(const ::testing::TestParamInfo<Row> &info) const
    {
        return info.param.name;
    }
};

#endif
