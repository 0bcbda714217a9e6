#include <gtest/gtest.h>

#include <plugin_library.h>

namespace {

TEST(PluginLibraryTest, AbiDifferencesNameEveryFieldThatDiffers)
{
    struct Row {
        uint32_t magic, length, version;
        const char *differences;
    } rows[] = {
        {AG_PLUGIN_ABI_MAGIC, 32, AG_PLUGIN_ABI_VERSION, ""},
        {0xdeadbeef, 32, AG_PLUGIN_ABI_VERSION, "magic 0xdeadbeef (expected 0x41504142)"},
        {AG_PLUGIN_ABI_MAGIC, 28, 16,
            "length 28 (expected 32), host interface version 16 (expected 15)"},
    };
    for (const Row &row : rows) {
        EXPECT_EQ(abi_differences(row.magic, row.length, row.version), row.differences);
    }
}

TEST(PluginLibraryTest, WhatCannotBeLoadedIsRefusedWithTheLoadersReason)
{
    try {
        PluginLibrary library("/nonexistent/libnothing.so");
        FAIL() << "loaded a library that does not exist";
    } catch (const PluginRefused &e) {
        EXPECT_NE(std::string(e.what()).find("cannot load the plug-in: "), std::string::npos)
            << e.what();
    }
}

} // namespace
