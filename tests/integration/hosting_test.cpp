/*
 * How the hosted plug-in presents itself to the agent, and how its worker
 * ends when it cannot run.
 */
#include <cerrno>
#include <cstring>

#include <gmock/gmock.h>

#include "plugin_test.h"

TEST_F(PluginTest, LibraryPresentsTheInterfaceRecordAndItsIdentity)
{
    const agPluginAbi &abi = PluginLibrary::get().abi();
    EXPECT_EQ(abi.stamp, 0x20230309u);
    EXPECT_THAT(abi.values, ::testing::ElementsAre(1u, 0u, 2912u, 72u));

    std::unique_ptr<agPlugin> instance(
        PluginLibrary::get().entry_point()(TAG, {{"config", files.file("unused.json")}}));
    ASSERT_NE(instance, nullptr);
    std::string library, name, version;
    instance->GetLibrary(library);
    instance->GetName(name);
    instance->GetVersion(version);
    EXPECT_EQ(library, "tavrix-sink-mqtt");
    EXPECT_EQ(name, "Tavrix MQTT Sink Plugin");
    EXPECT_EQ(version, "1.2.1");

    EXPECT_EQ(PluginLibrary::get().entry_point()(TAG, {{"type", "3"}}), nullptr);
    EXPECT_EQ(log.count(std::string("Invalid plugin type: ") + TAG + " [3]"), 1u);
}

TEST_F(PluginTest, MissingConfigurationFileEndsTheWorkerWithTheReloadError)
{
    worker_may_fail = true;
    const std::string missing = files.file("absent.json");
    plugin = std::make_unique<HostedPlugin>(TAG, missing);
    const std::string error = std::string(TAG) + ": " + missing + ": " + strerror(ENOENT);
    // The host logs the exception that ended the worker.
    ASSERT_TRUE(log.wait_for(error));
    plugin->stop();

    EXPECT_TRUE(plugin->sink().HasFailed());
    EXPECT_EQ(plugin->sink().GetFailure(), error);
    EXPECT_EQ(log.count(std::string(TAG) + ": MQ connect"), 0u);
}
