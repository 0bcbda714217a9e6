/*
 * The connect step, the reset and the connected flag, against the fake:
 * the order and arguments of every libmosquitto call are part of what is
 * tested.
 */
#include "test_support.h"

#include <gmock/gmock.h>
#include <mosquitto.h>

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

const std::vector<std::string> CALLBACKS = {"mosquitto_connect_callback_set()",
    "mosquitto_disconnect_callback_set()", "mosquitto_publish_callback_set()",
    "mosquitto_message_callback_set()", "mosquitto_subscribe_callback_set()",
    "mosquitto_log_callback_set()"};

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (auto &part : parts) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

class ConnectTest : public HostTest
{
protected:
    void SetUp() override
    {
        HostTest::SetUp();
        plugin = make_plugin();
        plugin->uuid_agent = "agent-uuid";
        fake::reset();
        log->clear();
    }

    void TearDown() override
    {
        plugin.reset();
        HostTest::TearDown();
    }

    /* The calls from the connect step on, leaving out the construction. */
    std::unique_ptr<aspPlugin> plugin;
};

TEST_F(ConnectTest, FirstAttemptCreatesClientWithCredentialsAndPauses)
{
    plugin->user = "sensor";
    plugin->pass = "s3cret";
    plugin->host = "broker.example";
    plugin->port = 8883;

    plugin->mqConnect();

    EXPECT_EQ(fake::calls(),
        concat({{"mosquitto_new(\"agent-uuid\", true)",
                    "mosquitto_username_pw_set(\"sensor\", \"s3cret\")"},
            CALLBACKS,
            {"mosquitto_threaded_set(true)", "mosquitto_connect(\"broker.example\", 8883, 15)",
                "sleep(1)"}}));
    EXPECT_THAT(log->lines(), ElementsAre("mqtt: using credentials: sensor/********"));
    EXPECT_FALSE(plugin->connected) << "only the broker's CONNACK connects";
}

TEST_F(ConnectTest, CredentialsNeedBothUserAndPassword)
{
    for (auto [user, pass] : {std::pair<const char *, const char *>{"sensor", ""}, {"", "s3cret"},
             {"", ""}}) {
        fake::reset();
        plugin->user = user;
        plugin->pass = pass;
        plugin->mqConnect();
        EXPECT_THAT(fake::calls_of("mosquitto_username_pw_set"), IsEmpty()) << user << pass;
    }
    EXPECT_THAT(log->containing("using credentials"), IsEmpty());
}

TEST_F(ConnectTest, RefusedCredentialsAreLoggedMaskedAndTheStepGoesOn)
{
    plugin->user = "sensor";
    plugin->pass = "s3cret";
    fake::script("mosquitto_username_pw_set", MOSQ_ERR_NOMEM);

    plugin->mqConnect();

    EXPECT_THAT(log->notices(),
        ElementsAre("mqtt: username_pw_set: sensor/********: error text 1 [1]"));
    EXPECT_THAT(fake::calls_of("mosquitto_threaded_set"), ElementsAre("mosquitto_threaded_set(true)"));
    for (const std::string &line : log->lines()) {
        EXPECT_THAT(line, ::testing::Not(HasSubstr("s3cret")));
    }
}

TEST_F(ConnectTest, LaterAttemptsReinitialiseTheSameClient)
{
    plugin->mqConnect();
    struct mosquitto *client = plugin->mosq;
    fake::reset();

    plugin->mqConnect();

    EXPECT_EQ(plugin->mosq, client);
    EXPECT_EQ(fake::calls(),
        concat({{"mosquitto_reinitialise(\"agent-uuid\", true)"}, CALLBACKS,
            {"mosquitto_threaded_set(true)", "mosquitto_connect(\"localhost\", 1883, 15)",
                "sleep(1)"}}));
}

TEST_F(ConnectTest, FailedReinitialisationSkipsSetUpButStillConnects)
{
    plugin->mqConnect();
    plugin->user = "sensor";
    plugin->pass = "s3cret";
    fake::reset();
    fake::script("mosquitto_reinitialise", MOSQ_ERR_NOMEM);

    plugin->mqConnect();

    EXPECT_THAT(fake::calls(), ElementsAre("mosquitto_reinitialise(\"agent-uuid\", true)",
                                   "mosquitto_connect(\"localhost\", 1883, 15)", "sleep(1)"));
    EXPECT_THAT(log->notices(), ElementsAre("mqtt: Reinitialise MQTT context: error text 1 [1]"));
}

TEST_F(ConnectTest, FailedCreationLeavesNoClientAndEveryCallFails)
{
    fake::script("mosquitto_new", ENOMEM);

    plugin->mqConnect();

    EXPECT_EQ(plugin->mosq, nullptr);
    EXPECT_THAT(fake::calls(), ElementsAre("mosquitto_new(\"agent-uuid\", true)",
                                   "mosquitto_connect(\"localhost\", 1883, 15)", "sleep(1)"));
    EXPECT_THAT(log->notices(),
        ElementsAre("mqtt: New MQTT context: agent-uuid: Cannot allocate memory",
            "mqtt: MQ connect: localhost:1883: error text 3 [3]"));
}

TEST_F(ConnectTest, ConnectFailureIsLoggedAndStillPauses)
{
    plugin->host = "127.0.0.1";
    plugin->port = 1;
    fake::script("mosquitto_connect", MOSQ_ERR_ERRNO);

    plugin->mqConnect();

    EXPECT_THAT(log->notices(), ElementsAre("mqtt: MQ connect: 127.0.0.1:1: error text 14 [14]"));
    EXPECT_EQ(fake::calls().back(), "sleep(1)");
    EXPECT_FALSE(plugin->connected);
}

TEST_F(ConnectTest, NoTlsWithoutCaFileOrDirectory)
{
    plugin->client_cert_file = "client.pem";
    plugin->client_key_file = "client.key";
    plugin->tls_insecure = true;

    plugin->mqConnect();

    EXPECT_THAT(fake::calls_of("mosquitto_tls"), IsEmpty());
    EXPECT_THAT(log->containing("TLS"), IsEmpty());
}

TEST_F(ConnectTest, CaFileAloneSetsUpTlsWithNullForTheRest)
{
    plugin->ca_file = "/etc/ssl/ca.pem";

    plugin->mqConnect();

    auto calls = fake::calls();
    auto tls = std::find(calls.begin(), calls.end(),
        "mosquitto_tls_set(\"/etc/ssl/ca.pem\", null, null, null, null)");
    ASSERT_NE(tls, calls.end());
    EXPECT_THAT(std::vector<std::string>(tls + 1, calls.end()),
        ElementsAre("mosquitto_tls_insecure_set(false)",
            "mosquitto_connect(\"localhost\", 1883, 15)", "sleep(1)"));
    EXPECT_EQ(*(tls - 1), "mosquitto_threaded_set(true)");
    EXPECT_THAT(log->lines(), ElementsAre("mqtt: enabled TLS."));
}

TEST_F(ConnectTest, TlsPathsAreExpandedAgainstACopyOfTheVariables)
{
    plugin->variables = {{"${pki}", "/etc/pki"}, {"${uuid_agent}", "agent-uuid"},
        {"${nothing}", ""}};
    const auto variables_before = plugin->variables;
    plugin->ca_file = "${pki}/ca.pem";
    plugin->ca_path = "${pki}/certs";
    plugin->client_cert_file = "${pki}/${uuid_agent}.crt";
    plugin->client_key_file = "${nothing}";
    plugin->tls_insecure = true;

    plugin->mqConnect();

    EXPECT_THAT(fake::calls_of("mosquitto_tls"),
        ElementsAre("mosquitto_tls_set(\"/etc/pki/ca.pem\", \"/etc/pki/certs\", "
                    "\"/etc/pki/agent-uuid.crt\", null, null)",
            "mosquitto_tls_insecure_set(true)"));
    EXPECT_EQ(plugin->variables, variables_before);
}

TEST_F(ConnectTest, RefusedTlsSetUpThrowsWithoutConnecting)
{
    plugin->ca_path = "/etc/ssl/certs";
    fake::script("mosquitto_tls_set", MOSQ_ERR_INVAL);

    try {
        plugin->mqConnect();
        FAIL() << "no exception";
    } catch (const agException &e) {
        EXPECT_STREQ(e.what(), "mqtt: error initializing libmosquitto TLS: error text 3 [3]");
    }
    EXPECT_THAT(fake::calls_of("mosquitto_connect("), IsEmpty());
    EXPECT_THAT(fake::calls_of("sleep"), IsEmpty());
}

TEST_F(ConnectTest, RefusedInsecureModeNamesTheDirection)
{
    plugin->ca_file = "ca.pem";
    for (bool insecure : {true, false}) {
        fake::reset();
        plugin->tls_insecure = insecure;
        fake::script("mosquitto_tls_insecure_set", MOSQ_ERR_INVAL);
        try {
            plugin->mqConnect();
            FAIL() << "no exception";
        } catch (const agException &e) {
            EXPECT_EQ(std::string(e.what()), std::string("mqtt: error ") +
                    (insecure ? "enabling" : "disabling") +
                    " TLS insecure mode: error text 3 [3]");
        }
        EXPECT_THAT(fake::calls_of("mosquitto_connect("), IsEmpty());
        EXPECT_THAT(fake::calls_of("sleep"), IsEmpty());
    }
}

// libmosquitto would close the host's standard input on an empty client
// id, so such an id never reaches it.
TEST_F(ConnectTest, EmptyAgentIdNeverReachesMosquittoNew)
{
    plugin->uuid_agent = "";

    plugin->mqConnect();

    EXPECT_EQ(plugin->mosq, nullptr);
    EXPECT_THAT(fake::calls(),
        ElementsAre("mosquitto_connect(\"localhost\", 1883, 15)", "sleep(1)"));
    EXPECT_THAT(log->notices(), ElementsAre("mqtt: New MQTT context: : Invalid argument",
                                    "mqtt: MQ connect: localhost:1883: error text 3 [3]"));
}

TEST_F(ConnectTest, EmptyAgentIdWithTlsEndsTheStepWithTheTlsError)
{
    plugin->uuid_agent = "";
    plugin->ca_file = "ca.pem";
    EXPECT_THROW(plugin->mqConnect(), agException);
    EXPECT_THAT(fake::calls(),
        ElementsAre("mosquitto_tls_set(\"ca.pem\", null, null, null, null)"));
}

TEST_F(ConnectTest, RefusedIdDestroysAnExistingClientInsteadOfReinitialising)
{
    plugin->mqConnect();
    for (auto [id, code] : {std::pair<const char *, int>{"", MOSQ_ERR_INVAL},
             {"bad\x01id", MOSQ_ERR_MALFORMED_UTF8}}) {
        plugin->uuid_agent = "agent-uuid";
        plugin->mqConnect();
        fake::reset();
        log->clear();
        plugin->uuid_agent = id;

        plugin->mqConnect();

        EXPECT_EQ(plugin->mosq, nullptr);
        EXPECT_THAT(fake::calls(), ElementsAre("mosquitto_destroy()",
                                       "mosquitto_connect(\"localhost\", 1883, 15)", "sleep(1)"));
        EXPECT_EQ(log->notices().at(0), "mqtt: Reinitialise MQTT context: error text " +
                std::to_string(code) + " [" + std::to_string(code) + "]");
    }
}

TEST_F(ConnectTest, ConnectedFollowsTheCallbacks)
{
    plugin->mqConnect();
    log->clear();

    fake::fire_connect(5);
    EXPECT_FALSE(plugin->connected) << "a refused CONNACK";
    fake::fire_connect(0);
    EXPECT_TRUE(plugin->connected);
    fake::fire_connect(5);
    EXPECT_TRUE(plugin->connected) << "a failed connect result changes nothing";
    fake::fire_disconnect(0);
    EXPECT_FALSE(plugin->connected);

    fake::fire_connect(0);
    plugin->mqInit();
    EXPECT_FALSE(plugin->connected) << "re-initialisation";

    fake::fire_connect(0);
    plugin->mqReset();
    EXPECT_FALSE(plugin->connected) << "reset";

    EXPECT_THAT(log->lines(),
        ElementsAre("mqtt: on_connect: 5: error text 5", "mqtt: on_connect: 0: error text 0",
            "mqtt: on_connect: 5: error text 5", "mqtt: on_disconnect: 0: error text 0",
            "mqtt: on_connect: 0: error text 0", "mqtt: on_connect: 0: error text 0"));
}

TEST_F(ConnectTest, CallbacksNeverLetAnExceptionIntoTheLibrary)
{
    plugin->mqConnect();
    log->on_line("", [] { throw std::runtime_error("log sink failed"); });

    EXPECT_NO_THROW(fake::fire_connect(0));
    EXPECT_TRUE(plugin->connected);
    EXPECT_NO_THROW(fake::fire_log(MOSQ_LOG_DEBUG, "text"));
    EXPECT_NO_THROW(fake::fire_message("topic", 1));
    EXPECT_NO_THROW(fake::fire_disconnect(7));
    EXPECT_FALSE(plugin->connected);
    log->on_line("", nullptr);
}

TEST_F(ConnectTest, OtherCallbacksOnlyLog)
{
    plugin->mqConnect();
    log->clear();

    fake::fire_publish(3);
    fake::fire_subscribe(4);
    fake::fire_message("commands/reboot", 12);
    fake::fire_log(MOSQ_LOG_DEBUG, "Client agent-uuid sending PINGREQ");

    EXPECT_THAT(log->lines(), ElementsAre("mqtt: message topic: commands/reboot, length: 12",
                                  "mqtt: 16: Client agent-uuid sending PINGREQ"));
    EXPECT_FALSE(plugin->connected);
}

TEST_F(ConnectTest, ResetDisconnectsOnlyAnOpenSocket)
{
    plugin->mqReset();
    EXPECT_THAT(fake::calls(), IsEmpty()) << "no client";

    plugin->mqConnect();
    fake::reset();
    plugin->mqReset();
    EXPECT_THAT(fake::calls(), ElementsAre("mosquitto_socket()")) << "no socket";

    fake::reset();
    fake::set_socket(9);
    plugin->mqReset();
    EXPECT_THAT(fake::calls(), ElementsAre("mosquitto_socket()", "mosquitto_disconnect()",
                                   "mosquitto_want_write()"))
        << "nothing left to write";

    fake::reset();
    fake::set_socket(9);
    fake::set_want_write(true);
    plugin->mqReset();
    EXPECT_THAT(fake::calls(), ElementsAre("mosquitto_socket()", "mosquitto_disconnect()",
                                   "mosquitto_want_write()", "mosquitto_loop_write(1)"));
}

} // namespace
