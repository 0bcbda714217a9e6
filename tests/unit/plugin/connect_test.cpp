/*
 * The connect step, the reset and the connected flag, against the fake:
 * the order and arguments of the set-up calls are part of what is tested.
 */
#include "test_support.h"

#include <mosquitto.h>

using ::testing::AnyOf;
using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

/* `before`, the callbacks in the order they are set, then `after`. */
Lines around_callbacks(Lines before, const Lines &after)
{
    for (const char *kind : {"connect", "disconnect", "publish", "message", "subscribe", "log"}) {
        before.push_back(std::string("mosquitto_") + kind + "_callback_set()");
    }
    before.insert(before.end(), after.begin(), after.end());
    return before;
}

/* A call that sets the client up between its creation and the connect:
 * credentials, callbacks, threading, options, TLS. */
const auto SET_UP_CALL = AnyOf(HasSubstr("_set("), HasSubstr("_option("));

class ConnectTest : public PluginTest
{
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        make();
    }

    void credentials(const char *user = "sensor", const char *pass = "s3cret")
    {
        PluginPeer(*plugin).user = user;
        PluginPeer(*plugin).pass = pass;
    }
};

TEST_F(ConnectTest, FirstAttemptCreatesClientWithCredentialsAndStartsTheConnection)
{
    credentials();
    PluginPeer(*plugin).host = "broker.example";
    PluginPeer(*plugin).port = 8883;

    plugin->mqConnect();

    EXPECT_THAT(fake::calls(),
        HasSubsequence(
            around_callbacks({NEW_CLIENT, "mosquitto_username_pw_set(\"sensor\", \"s3cret\")"},
                {"mosquitto_threaded_set(true)",
                    "mosquitto_connect_async(\"broker.example\", 8883, 15)"})));
    EXPECT_THAT(log->lines(), ElementsAre("mqtt: using credentials: sensor/********\n"));
    EXPECT_FALSE(PluginPeer(*plugin).connected) << "only the broker's CONNACK connects";
    EXPECT_TRUE(PluginPeer(*plugin).connecting);
}

// libmosquitto's window of 20 would cap a link at 20 messages per round
// trip; every initialise brings it back to 20, so every attempt sets it.
TEST_F(ConnectTest, EveryAttemptSetsTheInFlightWindowOfTheQos)
{
    const std::string window = "mosquitto_int_option(" + std::to_string(MOSQ_OPT_SEND_MAXIMUM) +
        ", ";
    struct Row {
        int32_t configured;
        int qos;
        int expected;
    } rows[] = {{0, 1, aspPlugin::DEFAULT_WINDOW}, {0, 0, aspPlugin::DEFAULT_WINDOW},
        {0, 2, aspPlugin::QOS2_WINDOW}, {100, 2, 100}, {65535, 1, 65535},
        {65536, 1, aspPlugin::DEFAULT_WINDOW}, {-5, 2, aspPlugin::QOS2_WINDOW}};
    for (const Row &row : rows) {
        fake::reset();
        PluginPeer(*plugin).max_inflight_messages = row.configured;
        PluginPeer(*plugin).message_qos = row.qos;
        plugin->mqConnect();
        EXPECT_THAT(fake::calls(),
            HasSubsequence(Lines{&row == rows ? NEW_CLIENT : REINITIALISE,
                window + std::to_string(row.expected) + ")", CONNECT}))
            << row.configured << " at QoS " << row.qos;
    }
}

TEST_F(ConnectTest, CredentialsNeedBothUserAndPassword)
{
    for (auto [user, pass] : {std::pair<const char *, const char *>{"sensor", ""}, {"", "s3cret"},
             {"", ""}}) {
        fake::reset();
        credentials(user, pass);
        plugin->mqConnect();
        EXPECT_THAT(fake::calls_of("mosquitto_username_pw_set"), IsEmpty()) << user << pass;
    }
    EXPECT_THAT(log->containing("using credentials"), IsEmpty());
}

TEST_F(ConnectTest, RefusedCredentialsAreLoggedMaskedAndTheStepGoesOn)
{
    credentials();
    fake::script("mosquitto_username_pw_set", MOSQ_ERR_NOMEM);

    plugin->mqConnect();

    EXPECT_THAT(log->notices(),
        ElementsAre("mqtt: username_pw_set: sensor/********: error text 1 [1]"));
    EXPECT_THAT(fake::calls_of("mosquitto_threaded_set"), ElementsAre("mosquitto_threaded_set(true)"));
    EXPECT_THAT(log->lines(), Each(Not(HasSubstr("s3cret"))));
}

TEST_F(ConnectTest, LaterAttemptsReinitialiseTheSameClient)
{
    plugin->mqConnect();
    struct mosquitto *client = PluginPeer(*plugin).mosq;
    fake::reset();

    plugin->mqConnect();

    EXPECT_EQ(PluginPeer(*plugin).mosq, client);
    EXPECT_THAT(fake::calls(), HasSubsequence(around_callbacks({REINITIALISE},
                                   {"mosquitto_threaded_set(true)", CONNECT})));
}

TEST_F(ConnectTest, FailedReinitialisationSkipsSetUpButStillConnects)
{
    plugin->mqConnect();
    credentials();
    fake::reset();
    fake::script("mosquitto_reinitialise", MOSQ_ERR_NOMEM);

    plugin->mqConnect();

    EXPECT_THAT(fake::calls(), Each(Not(SET_UP_CALL)));
    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{REINITIALISE, CONNECT}));
    EXPECT_THAT(log->notices(), ElementsAre("mqtt: Reinitialise MQTT context: error text 1 [1]"));
}

TEST_F(ConnectTest, FailedCreationLeavesNoClientAndEveryCallFails)
{
    fake::script("mosquitto_new", ENOMEM);

    plugin->mqConnect();

    EXPECT_EQ(PluginPeer(*plugin).mosq, nullptr);
    EXPECT_THAT(fake::calls(), Each(Not(SET_UP_CALL)));
    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{NEW_CLIENT, CONNECT}));
    EXPECT_THAT(log->notices(),
        ElementsAre("mqtt: New MQTT context: agent-uuid: Cannot allocate memory\n",
            "mqtt: MQ connect: localhost:1883: error text 3 [3]"));
}

TEST_F(ConnectTest, ConnectFailureIsLoggedAndEndsTheAttempt)
{
    PluginPeer(*plugin).host = "127.0.0.1";
    PluginPeer(*plugin).port = 1;
    fake::script("mosquitto_connect_async", MOSQ_ERR_ERRNO);

    plugin->mqConnect();

    EXPECT_THAT(log->notices(), ElementsAre("mqtt: MQ connect: 127.0.0.1:1: error text 14 [14]"));
    EXPECT_FALSE(PluginPeer(*plugin).connected);
    EXPECT_FALSE(PluginPeer(*plugin).connecting);
}

TEST_F(ConnectTest, NoTlsWithoutCaFileOrDirectory)
{
    PluginPeer(*plugin).client_cert_file = "client.pem";
    PluginPeer(*plugin).client_key_file = "client.key";
    PluginPeer(*plugin).tls_insecure = true;

    plugin->mqConnect();

    EXPECT_THAT(fake::calls_of("mosquitto_tls"), IsEmpty());
    EXPECT_THAT(log->containing("TLS"), IsEmpty());
}

TEST_F(ConnectTest, CaFileAloneSetsUpTlsWithNullForTheRest)
{
    PluginPeer(*plugin).ca_file = "/etc/ssl/ca.pem";

    plugin->mqConnect();

    EXPECT_THAT(fake::calls(),
        HasSubsequence(Lines{"mosquitto_threaded_set(true)",
            "mosquitto_tls_set(\"/etc/ssl/ca.pem\", null, null, null, null)",
            "mosquitto_tls_insecure_set(false)", CONNECT}));
    EXPECT_THAT(log->lines(), ElementsAre("mqtt: enabled TLS.\n"));
}

TEST_F(ConnectTest, TlsPathsAreExpandedAgainstACopyOfTheVariables)
{
    PluginPeer(*plugin).variables = {{"${pki}", "/etc/pki"}, {"${uuid_agent}", "agent-uuid"},
        {"${nothing}", ""}};
    const auto variables_before = PluginPeer(*plugin).variables;
    PluginPeer(*plugin).ca_file = "${pki}/ca.pem";
    PluginPeer(*plugin).ca_path = "${pki}/certs";
    PluginPeer(*plugin).client_cert_file = "${pki}/${uuid_agent}.crt";
    PluginPeer(*plugin).client_key_file = "${nothing}";
    PluginPeer(*plugin).tls_insecure = true;

    plugin->mqConnect();

    EXPECT_THAT(fake::calls_of("mosquitto_tls"),
        ElementsAre("mosquitto_tls_set(\"/etc/pki/ca.pem\", \"/etc/pki/certs\", "
                    "\"/etc/pki/agent-uuid.crt\", null, null)",
            "mosquitto_tls_opts_set(1, \"tlsv1.2\", null)", "mosquitto_tls_insecure_set(true)"));
    EXPECT_EQ(PluginPeer(*plugin).variables, variables_before);
}

// A CA file not in place yet, or a key being rotated: this attempt ends
// with its line, and the next one sets TLS up afresh.
TEST_F(ConnectTest, RefusedTlsSetUpEndsOnlyThisAttempt)
{
    PluginPeer(*plugin).ca_path = "/etc/ssl/certs";
    fake::script("mosquitto_tls_set", MOSQ_ERR_INVAL);

    EXPECT_NO_THROW(plugin->mqConnect());
    EXPECT_THAT(log->notices(),
        ElementsAre("mqtt: error initializing libmosquitto TLS: error text 3 [3]"));
    EXPECT_THAT(fake::calls_of("mosquitto_connect_async("), IsEmpty());
    EXPECT_FALSE(PluginPeer(*plugin).connecting);

    plugin->mqConnect();
    EXPECT_THAT(fake::calls_of("mosquitto_tls_set"), ::testing::SizeIs(2));
    EXPECT_THAT(fake::calls_of("mosquitto_connect_async("), ::testing::SizeIs(1));
}

TEST_F(ConnectTest, RefusedInsecureModeNamesTheDirection)
{
    PluginPeer(*plugin).ca_file = "ca.pem";
    for (bool insecure : {true, false}) {
        fake::reset();
        log->clear();
        PluginPeer(*plugin).tls_insecure = insecure;
        fake::script("mosquitto_tls_insecure_set", MOSQ_ERR_INVAL);
        EXPECT_NO_THROW(plugin->mqConnect());
        EXPECT_THAT(log->notices(), ElementsAre(std::string("mqtt: error ") +
                                        (insecure ? "enabling" : "disabling") +
                                        " TLS insecure mode: error text 3 [3]"));
        EXPECT_THAT(fake::calls_of("mosquitto_connect_async("), IsEmpty());
    }
}

// The system's store alone turns TLS on. libmosquitto sets TLS up only
// with a CA file or directory: the store's directory (OpenSSL's, or
// SSL_CERT_DIR as OpenSSL reads it) is that one, and a client certificate
// comes along.
TEST_F(ConnectTest, OsStoreAloneSetsUpTlsWithTheStoreDirectoryAndTheOptions)
{
    setenv("SSL_CERT_DIR", "/etc/test-store", 1);
    PluginPeer(*plugin).tls_use_os_certs = true;
    PluginPeer(*plugin).client_cert_file = "client.pem";
    PluginPeer(*plugin).client_key_file = "client.key";
    PluginPeer(*plugin).tls_alpn = "x-amzn-mqtt-ca";
    PluginPeer(*plugin).tls_version = "TLSv1.3";

    plugin->mqConnect();
    unsetenv("SSL_CERT_DIR");

    auto option = [](int name, const std::string &value) {
        return std::to_string(name) + ", " + value + ")";
    };
    const std::string quoted_alpn = "\"" + PluginPeer(*plugin).tls_alpn + "\"";
    EXPECT_THAT(fake::calls(),
        HasSubsequence(Lines{"mosquitto_tls_set(null, \"/etc/test-store\", \"client.pem\", "
                             "\"client.key\", null)",
            "mosquitto_int_option(" + option(MOSQ_OPT_TLS_USE_OS_CERTS, "1"),
            "mosquitto_tls_opts_set(1, \"tlsv1.3\", null)",
            "mosquitto_string_option(" + option(MOSQ_OPT_TLS_ALPN, quoted_alpn),
            "mosquitto_tls_insecure_set(false)", CONNECT}));
}

// A CA of the configuration's own wins over the store.
TEST_F(ConnectTest, ConfiguredCaLeavesTheOsStoreOut)
{
    PluginPeer(*plugin).tls_use_os_certs = true;
    PluginPeer(*plugin).ca_file = "ca.pem";

    plugin->mqConnect();

    EXPECT_THAT(fake::calls_of("mosquitto_tls_set"),
        ElementsAre("mosquitto_tls_set(\"ca.pem\", null, null, null, null)"));
    EXPECT_THAT(fake::calls_of("mosquitto_int_option(" + std::to_string(MOSQ_OPT_TLS_USE_OS_CERTS)),
        IsEmpty());
    EXPECT_THAT(fake::calls_of("mosquitto_tls_opts_set"),
        ElementsAre("mosquitto_tls_opts_set(1, \"tlsv1.2\", null)"));
}

TEST_F(ConnectTest, RefusedVersionOrProtocolEndsTheAttemptWithItsLine)
{
    PluginPeer(*plugin).ca_file = "ca.pem";
    PluginPeer(*plugin).tls_version = "tlsv1.0";
    PluginPeer(*plugin).tls_alpn = "mqtt";
    for (const char *refuser : {"mosquitto_tls_opts_set", "mosquitto_string_option"}) {
        fake::reset();
        log->clear();
        fake::script(refuser, MOSQ_ERR_INVAL);
        EXPECT_NO_THROW(plugin->mqConnect());
        EXPECT_THAT(log->notices(),
            ElementsAre(std::string(refuser) == "mosquitto_tls_opts_set" ?
                    "mqtt: error setting TLS version tlsv1.0: error text 3 [3]" :
                    "mqtt: error setting TLS ALPN protocol mqtt: error text 3 [3]"));
        EXPECT_THAT(fake::calls_of("mosquitto_connect_async("), IsEmpty());
    }
}

// libmosquitto would close the host's standard input on a client id it
// refuses, so such an id never reaches it. The step then ends at once: no
// TLS set-up, no connect call, and the client (if any) is kept for a later
// attempt with a usable id.
struct RefusedId {
    const char *name;
    std::string id;
    int code; // what libmosquitto would answer
};

using RefusedClientIdTest = WithRows<ConnectTest, RefusedId>;

TEST_P(RefusedClientIdTest, WithoutAClientMakesNoCallAndIsTriedAgain)
{
    PluginPeer(*plugin).uuid_agent = GetParam().id;
    PluginPeer(*plugin).ca_file = "ca.pem";

    EXPECT_NO_THROW(plugin->mqConnect());
    EXPECT_NO_THROW(plugin->mqConnect());

    EXPECT_EQ(PluginPeer(*plugin).mosq, nullptr);
    EXPECT_THAT(fake::calls(), IsEmpty());
    const std::string line = "mqtt: New MQTT context: " + GetParam().id + ": Invalid argument\n";
    EXPECT_THAT(log->notices(), ElementsAre(line, line));
}

TEST_P(RefusedClientIdTest, KeepsTheClientAndReusesItOnceTheIdIsUsable)
{
    PluginPeer(*plugin).ca_file = "ca.pem";
    plugin->mqConnect();
    struct mosquitto *client = PluginPeer(*plugin).mosq;
    fake::reset();
    log->clear();

    PluginPeer(*plugin).uuid_agent = GetParam().id;
    EXPECT_NO_THROW(plugin->mqConnect());

    EXPECT_EQ(PluginPeer(*plugin).mosq, client);
    EXPECT_THAT(fake::calls(), IsEmpty());
    const std::string code = std::to_string(GetParam().code);
    EXPECT_THAT(log->notices(),
        ElementsAre("mqtt: Reinitialise MQTT context: error text " + code + " [" + code + "]"));

    fake::reset();
    PluginPeer(*plugin).uuid_agent = "agent-uuid";
    plugin->mqConnect();
    EXPECT_EQ(PluginPeer(*plugin).mosq, client);
    EXPECT_THAT(fake::calls_of("mosquitto_new"), IsEmpty());
    EXPECT_THAT(fake::calls_of("mosquitto_connect_async("), ElementsAre(CONNECT));
    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{REINITIALISE, CONNECT}));
}

INSTANTIATE_TEST_SUITE_P(Ids, RefusedClientIdTest,
    ::testing::Values(RefusedId{"Empty", "", MOSQ_ERR_INVAL},
        RefusedId{"ControlCharacter", "bad\x01id", MOSQ_ERR_MALFORMED_UTF8},
        RefusedId{"NotUtf8", "\xff\xfe", MOSQ_ERR_MALFORMED_UTF8},
        RefusedId{"LongerThanMqttAllows", std::string(65536, 'a'), MOSQ_ERR_INVAL}),
    RowName());

TEST_F(ConnectTest, LongestIdMqttAllowsIsUsed)
{
    PluginPeer(*plugin).uuid_agent = std::string(65535, 'a');
    plugin->mqConnect();
    EXPECT_THAT(fake::calls_of("mosquitto_new"),
        ElementsAre("mosquitto_new(\"" + PluginPeer(*plugin).uuid_agent + "\", true)"));
}

TEST_F(ConnectTest, ConfiguredClientIdIsExpandedAndReplacesTheAgentUuid)
{
    PluginPeer(*plugin).variables = {{"${uuid_agent}", "agent-uuid"}, {"${site}", "lab"}};
    PluginPeer(*plugin).client_id = "${site}-${uuid_agent}-2";
    plugin->mqConnect();
    PluginPeer(*plugin).client_id = "";
    plugin->mqConnect();
    PluginPeer(*plugin).client_id = "${empty}";
    PluginPeer(*plugin).variables["${empty}"] = "";
    plugin->mqConnect();

    EXPECT_THAT(fake::calls_of("mosquitto_new"),
        ElementsAre("mosquitto_new(\"lab-agent-uuid-2\", true)"));
    EXPECT_THAT(fake::calls_of("mosquitto_reinitialise"),
        ElementsAre("mosquitto_reinitialise(\"agent-uuid\", true)"))
        << "an empty client_id stands for the agent UUID";
    EXPECT_THAT(log->notices(), ElementsAre("mqtt: Reinitialise MQTT context: error text 3 [3]"))
        << "a client_id that expands to nothing is refused";
}

TEST_F(ConnectTest, ConnectedFollowsTheCallbacks)
{
    plugin->mqConnect();
    log->clear();

    fake::fire_connect(5);
    EXPECT_FALSE(PluginPeer(*plugin).connected) << "a refused CONNACK";
    fake::fire_connect(0);
    EXPECT_TRUE(PluginPeer(*plugin).connected);
    fake::fire_connect(5);
    EXPECT_TRUE(PluginPeer(*plugin).connected) << "a failed connect result changes nothing";
    fake::fire_disconnect(0);
    EXPECT_FALSE(PluginPeer(*plugin).connected);

    fake::fire_connect(0);
    plugin->mqInit();
    EXPECT_FALSE(PluginPeer(*plugin).connected) << "re-initialisation";

    fake::fire_connect(0);
    plugin->mqReset();
    EXPECT_FALSE(PluginPeer(*plugin).connected) << "reset";

    EXPECT_THAT(log->lines(),
        ElementsAre("mqtt: on_connect: 5: error text 5\n", "mqtt: on_connect: 0: error text 0\n",
            "mqtt: on_connect: 5: error text 5\n", "mqtt: on_disconnect: 0: error text 0\n",
            "mqtt: on_connect: 0: error text 0\n", "mqtt: on_connect: 0: error text 0\n"));
}

TEST_F(ConnectTest, CallbacksNeverLetAnExceptionIntoTheLibrary)
{
    plugin->mqConnect();
    log->on_line("", [] { throw std::runtime_error("log sink failed"); });

    EXPECT_NO_THROW(fake::fire_connect(0));
    EXPECT_TRUE(PluginPeer(*plugin).connected);
    EXPECT_NO_THROW(fake::fire_log(MOSQ_LOG_DEBUG, "text"));
    EXPECT_NO_THROW(fake::fire_message("topic", 1));
    EXPECT_NO_THROW(fake::fire_disconnect(7));
    EXPECT_FALSE(PluginPeer(*plugin).connected);
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

    EXPECT_THAT(log->lines(), ElementsAre("mqtt: message topic: commands/reboot, length: 12\n",
                                  "mqtt: 16: Client agent-uuid sending PINGREQ\n"));
    EXPECT_FALSE(PluginPeer(*plugin).connected);
}

TEST_F(ConnectTest, ResetDisconnectsOnlyAnOpenSocket)
{
    struct Row {
        const char *name;
        bool client;
        int socket;
        bool pending;
        Lines expected; // the calls of the reset, among others, in this order
    } rows[] = {
        // Output pending: without a socket it must still not be written.
        {"no client", false, -1, true, {}},
        {"no socket", true, -1, true, {}},
        {"nothing left to write", true, 9, false, {"mosquitto_disconnect()"}},
        {"one write at most", true, 9, true, {"mosquitto_disconnect()", "mosquitto_loop_write(1)"}},
    };
    for (const Row &row : rows) {
        if (row.client && PluginPeer(*plugin).mosq == nullptr) {
            plugin->mqConnect();
        }
        fake::reset();
        fake::set_socket(row.socket);
        fake::set_want_write(row.pending);
        PluginPeer(*plugin).connected = true;
        plugin->mqReset();
        EXPECT_FALSE(PluginPeer(*plugin).connected) << row.name;
        EXPECT_THAT(fake::calls(), HasSubsequence(row.expected)) << row.name;
        EXPECT_EQ(fake::calls_of("mosquitto_disconnect").size() +
                fake::calls_of("mosquitto_loop_write").size(),
            row.expected.size())
            << row.name << ": no other";
    }
}

} // namespace

// Every initialise drops the will: each attempt sets it again, on the new
// client, before the connect; one the library refuses ends the attempt.
TEST_F(ConnectTest, EveryAttemptSetsTheWillBeforeTheConnectAndARefusedOneEndsIt)
{
    PluginPeer(*plugin).variables = {{"${site}", "lab"}, {"${nothing}", ""}};
    PluginPeer(*plugin).will_topic = "gw/${site}/status";
    plugin->mqConnect();
    plugin->mqConnect();
    const std::string will = "mosquitto_will_set(\"gw/lab/status\", \"offline\", 1, true)";
    EXPECT_THAT(fake::calls(),
        HasSubsequence(Lines{NEW_CLIENT, will, CONNECT, REINITIALISE, will, CONNECT}));

    fake::reset();
    fake::script("mosquitto_will_set", MOSQ_ERR_INVAL);
    plugin->mqConnect();
    PluginPeer(*plugin).will_topic = "${nothing}";
    plugin->mqConnect();
    EXPECT_THAT(fake::calls_of("mosquitto_connect_async"), IsEmpty());
    EXPECT_THAT(log->notices(),
        ElementsAre("mqtt: error setting the will on gw/lab/status: error text 3 [3]",
            "mqtt: error setting the will on : error text 3 [3]"));
}

// Each attempt without a CONNACK moves on round the list; a broker that
// accepted the instance is tried first again. Lines name the entry.
TEST_F(ConnectTest, FailedAttemptsGoRoundTheListAndAnAcceptingBrokerIsKept)
{
    PluginPeer(*plugin).host = "a, [::1]:8883";
    fake::script("mosquitto_connect_async", MOSQ_ERR_ERRNO);
    for (int attempt = 0; attempt < 5; ++attempt) {
        plugin->mqConnect();
        if (attempt == 2) {
            fake::fire_connect(0);
        }
    }
    const std::string a = "mosquitto_connect_async(\"a\", 1883, 15)";
    const std::string v6 = "mosquitto_connect_async(\"::1\", 8883, 15)";
    EXPECT_THAT(fake::calls_of("mosquitto_connect_async"), ElementsAre(a, v6, a, a, v6));
    EXPECT_THAT(log->notices(), ElementsAre("mqtt: MQ connect: a:1883: error text 14 [14]"));
}
