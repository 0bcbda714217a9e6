/*
 * The MQTT client id: one per instance where several share a broker, and
 * an agent without a usable one that must not take its host down.
 */
#include <gmock/gmock.h>

#include "plugin_test.h"
#include "tls_material.h"

TEST_F(PluginTest, TwoInstancesWithTheirOwnClientIdsBothDeliverEverything)
{
    constexpr int PAYLOADS = 300;
    const std::string second_tag = std::string(TAG) + "-2";
    Broker &broker = start_broker();
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["client_id"] = "${uuid_agent}-first";
    start_plugin(config);
    config["client_id"] = "${uuid_agent}-second";
    std::unique_ptr<HostedPlugin> second = host(second_tag, files.write("second.json", config.dump()));
    ASSERT_TRUE(wait_connected());
    ASSERT_TRUE(wait_until([&] { return second->status().connected; }));

    for (int i = 0; i < PAYLOADS; ++i) {
        plugin->queue("first " + std::to_string(i), {"first"});
        second->queue("second " + std::to_string(i), {"second"});
    }
    ASSERT_TRUE(subscriber.wait_for(2 * PAYLOADS, std::chrono::seconds(20)))
        << subscriber.messages().size() << " of " << 2 * PAYLOADS;
    second->stop();

    EXPECT_EQ(subscriber.messages().size(), 2u * PAYLOADS);
    EXPECT_EQ(broker.log_count(std::string(" as ") + AGENT_UUID + "-first "), 1u);
    EXPECT_EQ(broker.log_count(std::string(" as ") + AGENT_UUID + "-second "), 1u);
    EXPECT_EQ(broker.log_count("already connected"), 0u) << "no session took another's over";
}

class MissingAgentUuidTest : public PluginTest, public ::testing::WithParamInterface<bool>
{
};

TEST_P(MissingAgentUuidTest, WorkerKeepsTryingUntilAReloadBringsOne)
{
    const bool tls = GetParam();
    Broker &broker = start_broker(tls ? tls_broker() : BrokerOptions{});
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    if (tls) {
        config["ca_file"] = TlsMaterial::get().ca_file();
    }
    session->config().SetUUID(UUID_AGENT, "");
    start_plugin(config);
    const std::string refused = std::string(TAG) + ": New MQTT context: : Invalid argument";
    ASSERT_TRUE(log.wait_for(refused, 2)) << "refused, and tried again";
    EXPECT_FALSE(plugin->worker_ended());

    session->config().SetUUID(UUID_AGENT, AGENT_UUID);
    plugin->reload();
    ASSERT_TRUE(wait_connected());
    plugin->queue("recovered", {"flows"});
    ASSERT_TRUE(subscriber.wait_for(1));
    EXPECT_EQ(subscriber.messages().front().payload, "recovered");
}

INSTANTIATE_TEST_SUITE_P(Transports, MissingAgentUuidTest, ::testing::Values(false, true),
    [](const ::testing::TestParamInfo<bool> &row) { return row.param ? "Tls" : "Plain"; });
