/*
 * TLS towards the broker: CA file, CA directory, a client certificate the
 * broker requires, and insecure mode for a certificate of another name.
 */
#include <gmock/gmock.h>

#include "plugin_test.h"
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
