/*
 * The plug-in's face towards the host: the entry point, the interface
 * record, construction and destruction, identity, events and status.
 */
#include "test_support.h"

#include <atomic>
#include <thread>

using ::testing::Each;
using ::testing::ElementsAre;
using ::testing::IsEmpty;
using ::testing::StartsWith;

extern "C" const agPluginAbi ag_plugin_abi;

namespace {

using LifecycleTest = HostTest;

using RefusedTypeTest = WithRows<HostTest, const char *>;

TEST_P(RefusedTypeTest, IsLoggedAndLeavesNoInstanceBehind)
{
    agPlugin *plugin = agPluginInit("mqtt", {{"type", GetParam()}});

    EXPECT_EQ(plugin, nullptr);
    EXPECT_THAT(log->lines(),
        ElementsAre("mqtt: initialized, libmosquitto v2.0.11 [ref#1]\n",
            std::string("Invalid plugin type: mqtt [") + GetParam() + "]\n", "mqtt: destroyed\n"));
    EXPECT_THAT(fake::calls(), Each(StartsWith("mosquitto_lib_"))) << "no client made";
    EXPECT_THAT(fake::calls_of("mosquitto_lib_cleanup"), ElementsAre("mosquitto_lib_cleanup()"));
    EXPECT_THAT(fake::calls(), HasSubsequence(std::vector<std::string>{
                                   "mosquitto_lib_init()", "mosquitto_lib_cleanup()"}));
    EXPECT_EQ(aspPlugin::mq_global_ref.load(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Types, RefusedTypeTest, ::testing::Values("0", "3", "255"));

TEST_F(LifecycleTest, AcceptsTypesOneAndTwoAndDefaultsToOne)
{
    for (const char *type : {"1", "2"}) {
        auto plugin = make_plugin({{"type", type}});
        ASSERT_NE(plugin, nullptr) << type;
        EXPECT_EQ(plugin->GetType(), std::stoi(type));
    }
    auto plugin = make_plugin();
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->GetType(), 1);
}

TEST_F(LifecycleTest, MalformedTypeThrowsBeforeLibmosquittoIsTouched)
{
    for (const char *type : {"", "abc", "256", "-1", "1x"}) {
        EXPECT_THROW(make_plugin({{"type", type}}), agException) << type;
    }
    EXPECT_THAT(fake::calls(), IsEmpty());
    EXPECT_EQ(aspPlugin::mq_global_ref.load(), 0u);
}

TEST_F(LifecycleTest, ConstructorGivesEveryMemberItsDefault)
{
    auto plugin = make_plugin({{"config", "/etc/tavrixd/mqtt.json"}});
    PluginPeer peer(*plugin);

    EXPECT_TRUE(peer.reload_pending.load());
    EXPECT_FALSE(peer.connected);
    EXPECT_EQ(peer.mosq, nullptr);
    EXPECT_EQ(peer.host, "localhost");
    EXPECT_EQ(peer.port, 1883);
    EXPECT_EQ(peer.message_qos, 1);
    EXPECT_FALSE(peer.message_retain);
    EXPECT_FALSE(peer.tls_insecure);
    for (const std::string *text : {&peer.user, &peer.pass, &peer.topic, &peer.ca_file,
             &peer.ca_path, &peer.client_cert_file, &peer.client_key_file, &peer.uuid_agent,
             &peer.uuid_serial, &peer.uuid_site}) {
        EXPECT_EQ(*text, "");
    }
    EXPECT_THAT(peer.variables, IsEmpty());
    EXPECT_EQ(plugin->GetConfigPath(), "/etc/tavrixd/mqtt.json");
    EXPECT_EQ(plugin->GetTag(), "mqtt");
}

TEST_F(LifecycleTest, FirstInstanceInitialisesLibraryAndLastCleansUp)
{
    auto first = make_plugin();
    auto second = make_plugin();
    EXPECT_THAT(log->lines(), ElementsAre("mqtt: initialized, libmosquitto v2.0.11 [ref#1]\n",
                                  "mqtt: initialized, libmosquitto v2.0.11 [ref#2]\n"));
    EXPECT_THAT(fake::calls_of("mosquitto_lib_init"), ElementsAre("mosquitto_lib_init()"));

    first.reset();
    EXPECT_THAT(fake::calls_of("mosquitto_lib_cleanup"), IsEmpty());
    EXPECT_EQ(aspPlugin::mq_global_ref.load(), 1u);

    second.reset();
    EXPECT_THAT(fake::calls_of("mosquitto_lib_cleanup"), ElementsAre("mosquitto_lib_cleanup()"));
    EXPECT_EQ(aspPlugin::mq_global_ref.load(), 0u);
}

TEST_F(LifecycleTest, InstancesOnManyThreadsInitialiseOnceAtATime)
{
    // Each wave starts from zero instances, so every wave must initialise
    // and clean up exactly once, however the threads interleave.
    constexpr int waves = 20;
    for (int wave = 0; wave < waves; ++wave) {
        std::vector<std::thread> threads;
        for (int i = 0; i < 4; ++i) {
            threads.emplace_back([this] { make_plugin(); });
        }
        for (auto &thread : threads) {
            thread.join();
        }
        EXPECT_EQ(aspPlugin::mq_global_ref.load(), 0u);
    }
    auto inits = fake::calls_of("mosquitto_lib_init").size();
    auto cleanups = fake::calls_of("mosquitto_lib_cleanup").size();
    EXPECT_EQ(inits, cleanups);
    EXPECT_GE(inits, static_cast<size_t>(waves));
}

TEST_F(LifecycleTest, ThrowingConstructorGivesItsLibraryReferenceBack)
{
    log->on_line("initialized", [] { throw std::runtime_error("log sink failed"); });
    EXPECT_THROW(make_plugin(), std::runtime_error);
    EXPECT_EQ(aspPlugin::mq_global_ref.load(), 0u);
    EXPECT_THAT(fake::calls_of("mosquitto_lib_cleanup"), ElementsAre("mosquitto_lib_cleanup()"));
}

TEST_F(LifecycleTest, DestroyingAnInstanceThatNeverConnectedTouchesNoClient)
{
    make_plugin();
    EXPECT_THAT(fake::calls(), Each(StartsWith("mosquitto_lib_")));
    EXPECT_THAT(fake::calls_of("mosquitto_lib_cleanup"), ElementsAre("mosquitto_lib_cleanup()"));
}

struct Destroyed {
    const char *name;
    int socket;
    bool pending;
    Lines expected; // the destructor's calls, in this order among others
};

using DestroyTest = WithRows<PluginTest, Destroyed>;

// Output pending or not: with no socket to write it to, nothing is written.
TEST_P(DestroyTest, DisconnectsOnlyAnOpenSocketAndFlushesOnce)
{
    make({}, true);
    ASSERT_NE(PluginPeer(*plugin).mosq, nullptr);
    PluginPeer(*plugin).connected = GetParam().socket >= 0;
    fake::set_socket(GetParam().socket);
    fake::set_want_write(GetParam().pending);

    plugin.reset();
    EXPECT_THAT(fake::calls(), HasSubsequence(GetParam().expected));
    EXPECT_EQ(fake::calls_of("mosquitto_disconnect").size() +
            fake::calls_of("mosquitto_loop_write").size() + 2,
        GetParam().expected.size())
        << "no other";
}

INSTANTIATE_TEST_SUITE_P(Clients, DestroyTest,
    ::testing::Values(Destroyed{"WithoutSocket", -1, true,
                          {"mosquitto_destroy()", "mosquitto_lib_cleanup()"}},
        Destroyed{"ConnectedWithOutputPending", 7, true,
            {"mosquitto_disconnect()", "mosquitto_loop_write(1)", "mosquitto_destroy()",
                "mosquitto_lib_cleanup()"}},
        Destroyed{"ConnectedWithNothingPending", 7, false,
            {"mosquitto_disconnect()", "mosquitto_destroy()", "mosquitto_lib_cleanup()"}}),
    RowName());

TEST_F(LifecycleTest, DestructorWaitsForTheWorkerBeforeItsLine)
{
    auto plugin = make_plugin(config_params(R"({"topic": "t"})"));
    std::atomic<bool> deleting{false};
    // The worker's connect step holds until the host has started deleting,
    // then leaves a mark of its own before it ends.
    fake::on("mosquitto_connect_async", [&] {
        wait_until([&] { return deleting.load(); });
        ag_printf("worker: last pass ends");
    });
    plugin->Create();
    ASSERT_TRUE(wait_until([] { return !fake::calls_of("mosquitto_connect_async").empty(); }));

    plugin->Terminate();
    deleting = true;
    plugin.reset();

    EXPECT_THAT(log->lines(), HasSubsequence(Lines{"worker: last pass ends", "mqtt: destroyed\n"}));
}

TEST_F(LifecycleTest, OnlyTheReloadEventRequestsAReload)
{
    auto plugin = make_plugin();
    PluginPeer(*plugin).reload_pending = false;
    int unrelated = 0;
    plugin->DispatchEvent(static_cast<agPlugin::Event>(1), &unrelated);
    plugin->DispatchEvent(static_cast<agPlugin::Event>(-1), nullptr);
    EXPECT_FALSE(PluginPeer(*plugin).reload_pending.load());

    plugin->DispatchEvent(agPlugin::EVENT_RELOAD, nullptr);
    EXPECT_TRUE(PluginPeer(*plugin).reload_pending.load());
}

TEST_F(LifecycleTest, StatusHooksLeaveTheDocumentAlone)
{
    auto plugin = make_plugin();
    nlohmann::json status = {{"sinks", {1, 2}}, {"name", "x"}};
    const nlohmann::json before = status;
    plugin->GetStatus(status);
    plugin->DisplayStatus(status);
    EXPECT_EQ(status, before);

    nlohmann::json empty;
    plugin->GetStatus(empty);
    EXPECT_TRUE(empty.is_null());
}

TEST_F(LifecycleTest, IdentityReplacesTheGivenStrings)
{
    auto plugin = make_plugin();
    std::string text = "previous content";
    plugin->GetLibrary(text);
    EXPECT_EQ(text, "tavrix-sink-mqtt");
    plugin->GetName(text);
    EXPECT_EQ(text, "Tavrix MQTT Sink Plugin");
    plugin->GetVersion(text);
    EXPECT_EQ(text, "1.3.0");
}

TEST(PluginAbiTest, RecordDescribesHostInterfaceFifteen)
{
    const uint32_t *words = reinterpret_cast<const uint32_t *>(&ag_plugin_abi);
    EXPECT_THAT(std::vector<uint32_t>(words, words + 8),
        ElementsAre(0x41504142u, 32u, 15u, 0x20230309u, 1u, 0u, 2912u, 72u));
}

} // namespace
