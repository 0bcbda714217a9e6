/*
 * The fixture of the integration tests: the built plug-in hosted through
 * src/hosting as the agent hosts it (global configuration with UUIDs and
 * variables, every log line kept, debug output on), brokers of the test's
 * own, and the plug-in's own figures (its configurations ask for them).
 * The plug-in is stopped before the brokers, so that no test pays for a
 * reconnect attempt on its way out; on failure the plug-in's and the
 * brokers' logs are printed.
 */
#ifndef TAVRIX_TESTS_INTEGRATION_PLUGIN_TEST_H
#define TAVRIX_TESTS_INTEGRATION_PLUGIN_TEST_H

#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <host_session.h>
#include <sink_status.h>

#include "broker.h"
#include "log_watch.h"
#include "scratch_dir.h"
#include "subscriber.h"
#include "wait.h"

class PluginTest : public ::testing::Test
{
protected:
    static constexpr const char *TAG = "mqtt-it";
    static constexpr const char *AGENT_UUID = "5d1f0c3e-8a47-4b92-b6e1-0f2a9c7d4e83";
    static constexpr const char *SITE_UUID = "a0b1c2d3-e4f5-4a6b-8c7d-9e0f1a2b3c4d";
    static constexpr const char *SERIAL_UUID = "0123-4567-89ab";
    /* A host variable the topic templates use besides the UUIDs. */
    static constexpr const char *PROBE_VARIABLE = "${probe}";
    static constexpr const char *PROBE_NAME = "probe-7";

    /* The built plug-in, loaded once per process and kept loaded, as the
     * agent keeps its plug-ins. */
    static PluginLibrary &library();

    void SetUp() override;
    void TearDown() override;

    Broker &start_broker(BrokerOptions options = {});
    /* A configuration for the plain or TLS listener of `broker` on
     * 127.0.0.1, with `topic` as template, reporting its figures. */
    static nlohmann::json config_for(const Broker &broker, const std::string &topic);
    /* Writes the plug-in's configuration file (the same file every time). */
    std::string write_config(const nlohmann::json &config);
    HostedPlugin &start_plugin(const nlohmann::json &config);
    /* Another instance, tagged `tag`, reading `config_path`. */
    std::unique_ptr<HostedPlugin> host(const std::string &tag, const std::string &config_path);

    /* The plug-in's own account of the broker accepting it, for the
     * `times`-th time, and still connected. */
    bool wait_connected(std::size_t times = 1);
    /* The `times`-th configuration load has started; a payload queued after
     * it is published with that configuration. */
    bool wait_reloaded(std::size_t times);
    std::size_t published_count() const;
    /* The current instance's figures; none without an instance. */
    SinkStatus accounted() const;

    LogWatch log;
    std::unique_ptr<HostSession> session;
    ScratchDir files;
    std::vector<std::unique_ptr<Broker>> brokers;
    std::unique_ptr<HostedPlugin> plugin;

private:
    void print_logs() const;
};

#endif
