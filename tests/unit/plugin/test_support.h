/*
 * Shared fixtures of the unit tests: a host with a global configuration,
 * captured log lines, and the fake reset around every test.
 */
#ifndef TAVRIX_TESTS_UNIT_TEST_SUPPORT_H
#define TAVRIX_TESTS_UNIT_TEST_SUPPORT_H

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <host/tavrixd.h>

#include <scratch_dir.h>
#include <wait.h>

#include "asp_plugin.h"
#include "fake_mosquitto.h"

extern "C" agPlugin *agPluginInit(const std::string &tag,
    const std::map<std::string, std::string> &params);

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
    std::vector<std::string> lines() const;
    std::vector<std::string> notices() const;
    /* Lines that contain `text`. */
    std::vector<std::string> containing(const std::string &text) const;
    void clear();
    /* Runs `action` inside the logger whenever a line containing `text`
     * arrives; the action must not log. */
    void on_line(const std::string &text, std::function<void()> action);

private:
    struct Line {
        agLogLevel level;
        std::string text;
    };
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

    /* Makes the attempt under way look `age` old. */
    void age_attempt(std::chrono::seconds age) { plugin.attempt_started -= age; }
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

#endif
