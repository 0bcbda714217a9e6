#include <gtest/gtest.h>

#include <host/ag_plugin_abi.h>

#include "abi_check.h"

namespace {

agPluginAbi good_record()
{
    return {AG_PLUGIN_ABI_MAGIC, sizeof(agPluginAbi), AG_PLUGIN_ABI_VERSION, 0x20230309,
        {1, 0, 2912, 72}};
}

TEST(AbiCheckTest, AcceptsTheHostsRecordWhateverItsStamp)
{
    agPluginAbi record = good_record();
    EXPECT_EQ(check_abi_record(&record, sizeof record), "");
    record.stamp = 0;
    record.values[2] = 7;
    EXPECT_EQ(check_abi_record(&record, 0), "");
}

TEST(AbiCheckTest, NamesEveryFieldThatDiffers)
{
    agPluginAbi record = good_record();
    record.magic = 0xdeadbeef;
    EXPECT_EQ(check_abi_record(&record, sizeof record),
        "magic 0xdeadbeef (expected 0x41504142)");
    record = good_record();
    record.version = 16;
    record.length = 28;
    EXPECT_EQ(check_abi_record(&record, 0),
        "length 28 (expected 32), host interface version 16 (expected 15)");
}

TEST(AbiCheckTest, AShortSymbolIsNotReadPastItsEnd)
{
    uint32_t short_record[2] = {AG_PLUGIN_ABI_MAGIC, 8};
    EXPECT_EQ(check_abi_record(short_record, sizeof short_record),
        "ag_plugin_abi is 8 bytes (expected 32)");
}

} // namespace
