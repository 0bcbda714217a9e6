#include "test_support.h"

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

PluginPeer::PluginPeer(aspPlugin &plugin_)
    : reload_pending(plugin_.reload_pending), connected(plugin_.connected),
      connecting(plugin_.connecting), mosq(plugin_.mosq),
#define CONFIG_KEY(name, kind, type, initial, shown, help) name(plugin_.name),
#include "config_keys.def"
#undef CONFIG_KEY
      uuid_agent(plugin_.uuid_agent), uuid_serial(plugin_.uuid_serial),
      uuid_site(plugin_.uuid_site), variables(plugin_.variables), wakeup(plugin_.wakeup),
      topics(plugin_.topics), record(plugin_.record), plugin(plugin_)
{
}
