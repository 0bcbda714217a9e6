#include "plugin_test.h"

#include <iostream>

#ifndef TAVRIX_PLUGIN_PATH
#error "TAVRIX_PLUGIN_PATH must name the built plug-in"
#endif

PluginLibrary &PluginTest::library()
{
    static PluginLibrary *loaded = new PluginLibrary(TAVRIX_PLUGIN_PATH);
    return *loaded;
}

void PluginTest::SetUp()
{
    HostIdentity identity{AGENT_UUID, SITE_UUID, SERIAL_UUID, {{PROBE_VARIABLE, PROBE_NAME}}};
    session = std::make_unique<HostSession>(identity,
        [this](agLogLevel level, const std::string &line) { log.on_line(level, line); }, true);
    // The subscribers' library set-up must precede the plug-in's, on this
    // thread (see subscriber_library_init).
    subscriber_library_init();
}

void PluginTest::TearDown()
{
    if (plugin) {
        plugin->stop();
        EXPECT_EQ(plugin->failure(), "");
        plugin.reset();
    }
    if (HasFailure()) {
        print_logs();
    }
    brokers.clear();
    session.reset();
}

void PluginTest::print_logs() const
{
    std::cerr << "--- plug-in log ---\n";
    for (const std::string &line : log.lines()) {
        std::cerr << line << "\n";
    }
    for (const auto &broker : brokers) {
        std::cerr << "--- broker on port " << broker->port() << " ---\n" << broker->log();
    }
}

Broker &PluginTest::start_broker(BrokerOptions options)
{
    brokers.push_back(std::make_unique<Broker>(std::move(options)));
    return *brokers.back();
}

nlohmann::json PluginTest::config_for(const Broker &broker, const std::string &topic)
{
    return {{"host", "127.0.0.1"}, {"port", broker.port()}, {"topic", topic},
        {"report_status", true}};
}

std::string PluginTest::write_config(const nlohmann::json &config)
{
    return files.write("mqtt-sink.json", config.dump(2));
}

HostedPlugin &PluginTest::start_plugin(const nlohmann::json &config)
{
    plugin = host(TAG, write_config(config));
    return *plugin;
}

std::unique_ptr<HostedPlugin> PluginTest::host(const std::string &tag,
    const std::string &config_path)
{
    return std::make_unique<HostedPlugin>(library(), tag,
        std::map<std::string, std::string>{{"config", config_path}});
}

bool PluginTest::wait_connected(std::size_t times)
{
    return wait_until(
        [&] {
            SinkStatus now = accounted();
            return now.connected && now.connections >= times;
        },
        std::chrono::seconds(10));
}

bool PluginTest::wait_reloaded(std::size_t times)
{
    return log.wait_for(std::string(TAG) + ": Loading configuration: ", times);
}

std::size_t PluginTest::published_count() const
{
    return log.count(std::string(TAG) + ": MQ Publish: ");
}

SinkStatus PluginTest::accounted() const
{
    return plugin ? plugin->status() : SinkStatus();
}
