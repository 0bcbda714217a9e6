#include "test_support.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <thread>

#include <ftw.h>

LogCapture::LogCapture()
{
    ag_set_debug(true);
    ag_set_log_sink([this](agLogLevel level, const std::string &line) {
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> guard(lock);
            captured.push_back({level, line});
            if (trigger_action && line.find(trigger) != std::string::npos) {
                action = trigger_action;
            }
        }
        if (action) {
            action();
        }
    });
}

LogCapture::~LogCapture()
{
    ag_set_log_sink(nullptr);
    ag_set_debug(false);
}

std::vector<std::string> LogCapture::lines() const
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> texts;
    for (const Line &line : captured) {
        texts.push_back(line.text);
    }
    return texts;
}

std::vector<std::string> LogCapture::notices() const
{
    std::lock_guard<std::mutex> guard(lock);
    std::vector<std::string> texts;
    for (const Line &line : captured) {
        if (line.level == agLogLevel::NOTICE) {
            texts.push_back(line.text);
        }
    }
    return texts;
}

std::vector<std::string> LogCapture::containing(const std::string &text) const
{
    std::vector<std::string> matching;
    for (const std::string &line : lines()) {
        if (line.find(text) != std::string::npos) {
            matching.push_back(line);
        }
    }
    return matching;
}

void LogCapture::on_line(const std::string &text, std::function<void()> action)
{
    std::lock_guard<std::mutex> guard(lock);
    trigger = text;
    trigger_action = std::move(action);
}

void LogCapture::clear()
{
    std::lock_guard<std::mutex> guard(lock);
    captured.clear();
}

TempDir::TempDir()
{
    char pattern[] = "/tmp/tavrix-unit-XXXXXX";
    if (mkdtemp(pattern) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir = pattern;
}

TempDir::~TempDir()
{
    nftw(dir.c_str(), [](const char *path, const struct stat *, int, struct FTW *) {
        return ::remove(path);
    }, 16, FTW_DEPTH | FTW_PHYS);
}

std::string TempDir::write(const std::string &name, const std::string &content) const
{
    std::string file = dir + "/" + name;
    std::ofstream(file, std::ios::binary) << content;
    return file;
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

void HostTest::SetUp()
{
    fake::reset();
    config.SetUUID(UUID_AGENT, "agent-uuid");
    config.SetUUID(UUID_SITE, "site-uuid");
    config.SetUUID(UUID_SERIAL, "serial-uuid");
    agGlobalConfig::instance = &config;
    log = std::make_unique<LogCapture>();
}

void HostTest::TearDown()
{
    log.reset();
    agGlobalConfig::instance = nullptr;
}

std::map<std::string, std::string> HostTest::config_params(const std::string &json)
{
    return {{"config", files.write("mqtt.json", json)}};
}

std::unique_ptr<aspPlugin> HostTest::make_plugin(const std::map<std::string, std::string> &params)
{
    return std::unique_ptr<aspPlugin>(static_cast<aspPlugin *>(agPluginInit("mqtt", params)));
}
