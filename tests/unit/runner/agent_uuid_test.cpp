#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <unistd.h>

#include "agent_uuid.h"

namespace {

// The form 8-4-4-4-12 in lower-case hex, version 4, RFC 4122 variant.
bool is_version4_uuid(const std::string &text)
{
    const std::string form = "xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx";
    if (text.size() != form.size()) {
        return false;
    }
    for (std::size_t i = 0; i < form.size(); ++i) {
        char c = text[i];
        bool hex_digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        bool fits = form[i] == 'x' ? hex_digit
            : form[i] == 'v'       ? (c == '8' || c == '9' || c == 'a' || c == 'b')
                                   : c == form[i];
        if (!fits) {
            return false;
        }
    }
    return true;
}

TEST(AgentUuidTest, DerivedFromTheMachineIdStablyButNotEqualToIt)
{
    std::string machine_id = "3d1219c7c4c5404aaa1f6d2a48adfda4";
    std::string uuid = uuid_from_machine_id(machine_id);
    EXPECT_TRUE(is_version4_uuid(uuid)) << uuid;
    // The client id a machine has used so far: SHA-256 of the salted id.
    EXPECT_EQ(uuid, "a2e47a9c-a70a-40dd-bd78-c36efe4cc5c5");
    EXPECT_EQ(uuid, uuid_from_machine_id("3D1219C7C4C5404AAA1F6D2A48ADFDA4"));
    std::string bare = uuid;
    bare.erase(std::remove(bare.begin(), bare.end(), '-'), bare.end());
    EXPECT_NE(bare.substr(0, 12), machine_id.substr(0, 12));
    EXPECT_NE(uuid, uuid_from_machine_id("3d1219c7c4c5404aaa1f6d2a48adfda5"));
}

TEST(AgentUuidTest, OnlyMachineIdsCount)
{
    EXPECT_EQ(uuid_from_machine_id(""), "");
    EXPECT_EQ(uuid_from_machine_id("3d1219c7c4c5404aaa1f6d2a48adfda"), "");
    EXPECT_EQ(uuid_from_machine_id("3d1219c7c4c5404aaa1f6d2a48adfdzz"), "");
    EXPECT_EQ(uuid_from_machine_id(std::string(32, '0')), "");
}

TEST(AgentUuidTest, DefaultsToTheFileElseRandom)
{
    char path[] = "/tmp/tavrix-machine-id.XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    close(fd);
    {
        std::ofstream file(path);
        file << "3d1219c7c4c5404aaa1f6d2a48adfda4\n";
    }
    EXPECT_EQ(default_agent_uuid(path), uuid_from_machine_id("3d1219c7c4c5404aaa1f6d2a48adfda4"));
    std::remove(path);

    std::string first = default_agent_uuid(path);
    EXPECT_TRUE(is_version4_uuid(first)) << first;
    EXPECT_NE(first, default_agent_uuid(path));
}

TEST(AgentUuidTest, FormatsCanonically)
{
    std::array<uint8_t, 16> bytes;
    bytes.fill(0xff);
    EXPECT_EQ(format_uuid(bytes), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    bytes.fill(0);
    EXPECT_EQ(format_uuid(bytes), "00000000-0000-4000-8000-000000000000");
}

} // namespace
