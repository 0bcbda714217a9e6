/*
 * TLS towards the broker: CA file, CA directory, a client certificate the
 * broker requires, insecure mode for a certificate of another name, and
 * the ALPN protocol a front requires.
 */
#include <gmock/gmock.h>

#include "plugin_test.h"
#include "tls_front.h"
#include "tls_material.h"

class TlsTest : public PluginTest
{
protected:
    /* One payload through the TLS listener, seen on the plain one. */
    void expect_delivery(const Broker &broker)
    {
        Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
        plugin->queue("over tls", {"flows"});
        ASSERT_TRUE(subscriber.wait_for(1));
        EXPECT_EQ(subscriber.messages().front(),
            (ReceivedMessage{"tavrix/flows", "over tls", 1, false}));
    }
};

TEST_F(TlsTest, ConnectsWithCaFile)
{
    Broker &broker = start_broker(tls_broker());
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["ca_file"] = TlsMaterial::get().ca_file();
    start_plugin(config);
    ASSERT_TRUE(wait_connected());
    ASSERT_TRUE(log.wait_for(std::string(TAG) + ": enabled TLS."));
    expect_delivery(broker);
}

TEST_F(TlsTest, ConnectsWithRehashedCaDirectory)
{
    Broker &broker = start_broker(tls_broker());
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["ca_path"] = TlsMaterial::get().ca_dir();
    start_plugin(config);
    ASSERT_TRUE(wait_connected());
    expect_delivery(broker);
}

TEST_F(TlsTest, PresentsTheClientCertificateTheBrokerRequires)
{
    Broker &broker = start_broker(tls_broker(true, true));
    // The certificate paths are templates, expanded with host variables.
    session->config().conf_vars["${tls_dir}"] = TlsMaterial::get().dir();
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["ca_file"] = TlsMaterial::get().ca_file();
    config["client_cert_file"] = std::string("${tls_dir}/") + TlsMaterial::CLIENT_CERT_NAME;
    config["client_key_file"] = std::string("${tls_dir}/") + TlsMaterial::CLIENT_KEY_NAME;
    start_plugin(config);
    ASSERT_TRUE(wait_connected());
    expect_delivery(broker);
}

TEST_F(TlsTest, InsecureModeAcceptsACertificateForAnotherName)
{
    Broker &broker = start_broker(tls_broker(false));
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["ca_file"] = TlsMaterial::get().ca_file();
    start_plugin(config);
    // The library's own account of the refusal, through the plug-in's log:
    // the certificate is fine but for another name.
    ASSERT_TRUE(log.wait_for("host name verification failed"));
    EXPECT_EQ(log.count(std::string(TAG) + ": on_connect: "), 0u);

    config["tls_insecure"] = true;
    write_config(config);
    plugin->reload();
    ASSERT_TRUE(wait_connected());
    expect_delivery(broker);
}

// AWS IoT Core's port 443 speaks MQTT only to a client that offers the
// ALPN protocol "x-amzn-mqtt-ca", as the front does. Payloads queued while
// it closes every connection wait, and all flow once a reload offers it.
TEST_F(TlsTest, FrontRequiringAnAlpnProtocolPassesOnOnlyWhenItIsOffered)
{
    constexpr std::size_t LINES = 100;
    Broker &broker = start_broker();
    TlsFront front(broker.port(), "x-amzn-mqtt-ca");
    Subscriber subscriber(broker.subscriber_port(), "tavrix/#");
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["port"] = front.port();
    config["ca_file"] = TlsMaterial::get().ca_file();
    start_plugin(config);
    for (std::size_t line = 1; line <= LINES; ++line) {
        plugin->queue("line " + std::to_string(line), {"flows"});
    }
    ASSERT_TRUE(wait_until([&] { return front.refused() >= 2; }));
    EXPECT_EQ(front.passed(), 0u);
    EXPECT_TRUE(subscriber.messages().empty());

    config["tls_alpn"] = "x-amzn-mqtt-ca";
    write_config(config);
    plugin->reload();
    ASSERT_TRUE(subscriber.wait_for(LINES));
    EXPECT_EQ(subscriber.messages().size(), LINES);
    EXPECT_EQ(front.passed(), 1u);
}
