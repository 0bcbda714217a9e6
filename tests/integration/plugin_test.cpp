#include "plugin_test.h"

#include <iostream>

void PluginTest::SetUp()
{
    host_config.SetUUID(UUID_AGENT, AGENT_UUID);
    host_config.SetUUID(UUID_SITE, SITE_UUID);
    host_config.SetUUID(UUID_SERIAL, SERIAL_UUID);
    host_config.conf_vars[PROBE_VARIABLE] = PROBE_NAME;
    agGlobalConfig::instance = &host_config;
    // The subscribers' library set-up must precede the plug-in's, on this
    // thread (see subscriber_library_init).
    subscriber_library_init();
}

void PluginTest::TearDown()
{
    if (plugin) {
        plugin->stop();
        if (!worker_may_fail) {
            EXPECT_FALSE(plugin->sink().HasFailed()) << plugin->sink().GetFailure();
        }
        plugin.reset();
    }
    if (HasFailure()) {
        print_logs();
    }
    brokers.clear();
    agGlobalConfig::instance = nullptr;
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
    return {{"host", "127.0.0.1"}, {"port", broker.port()}, {"topic", topic}};
}

std::string PluginTest::write_config(const nlohmann::json &config)
{
    return files.write("mqtt-sink.json", config.dump(2));
}

HostedPlugin &PluginTest::start_plugin(const nlohmann::json &config)
{
    plugin = std::make_unique<HostedPlugin>(TAG, write_config(config));
    return *plugin;
}

bool PluginTest::wait_connected(std::size_t times)
{
    return log.wait_for(std::string(TAG) + ": on_connect: 0: ", times);
}

bool PluginTest::wait_reloaded(std::size_t times)
{
    return log.wait_for(std::string(TAG) + ": Loading configuration: ", times);
}

std::size_t PluginTest::published_count() const
{
    return log.count(std::string(TAG) + ": MQ Publish: ");
}
