#include "test_support.h"

#include <mosquitto.h>

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

Lines LogCapture::matching(const std::function<bool(const Line &)> &wanted) const
{
    std::lock_guard<std::mutex> guard(lock);
    Lines texts;
    for (const Line &line : captured) {
        if (wanted(line)) {
            texts.push_back(line.text);
        }
    }
    return texts;
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

void PluginTest::TearDown()
{
    plugin.reset();
    HostTest::TearDown();
}

void PluginTest::make(const std::map<std::string, std::string> &params, bool init)
{
    plugin = make_plugin(params);
    PluginPeer(*plugin).uuid_agent = "agent-uuid";
    if (init) {
        plugin->mqInit();
    }
    fake::forget_calls();
    log->clear();
}

void PluginTest::reload()
{
    plugin->Reload();
    PluginPeer(*plugin).reload_pending = false;
}

void PluginTest::queue(const std::string &bytes, std::set<std::string> channels)
{
    plugin->QueuePayload(payload(bytes, std::move(channels)));
}

void PluginTest::queue_many(std::size_t count, const std::string &bytes)
{
    for (std::size_t i = 0; i < count; ++i) {
        queue(bytes);
    }
}

void PluginTest::break_and_reconnect(const std::function<void()> &on_connack)
{
    fake::script_select(fake::TIMED_OUT);
    fake::script_select({1, 0, true, false});
    fake::script_select({2, 0, true, true});
    fake::script_select(fake::TIMED_OUT);
    fake::script("mosquitto_loop_read", MOSQ_ERR_CONN_LOST);
    fake::on_each("mosquitto_loop_read", [on_connack](int call) {
        if (call == 2) {
            fake::fire_connect(0);
            if (on_connack) {
                on_connack();
            }
        }
    });
    fake::on_each("mosquitto_loop_misc", [this](int call) {
        if (call == 1) {
            fake::fire_publish(fake::published_mids().front());
        } else {
            plugin->Terminate();
        }
    });
    plugin->Entry();
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
