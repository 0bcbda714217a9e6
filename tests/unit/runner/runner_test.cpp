#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include <unistd.h>

#include <scratch_dir.h>

#include "runner.h"

namespace {

// The form 8-4-4-4-12 in lower-case hex, version 4, RFC 4122 variant.
bool is_version4_uuid(const std::string &text)
{
    const std::string form = "xxxxxxxx-xxxx-4xxx-vxxx-xxxxxxxxxxxx";
    auto fits = [](char c, char wanted) {
        bool hex_digit = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
        return wanted == 'x' ? hex_digit
            : wanted == 'v' ? std::string("89ab").find(c) != std::string::npos
                            : c == wanted;
    };
    return text.size() == form.size() &&
        std::equal(text.begin(), text.end(), form.begin(), fits);
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
    EXPECT_EQ(uuid_from_machine_id("00000000-0000-0000-0000-000000000000"), "");
    // FreeBSD's host UUID is the same digits with hyphens.
    EXPECT_EQ(uuid_from_machine_id("3d1219c7-c4c5-404a-aa1f-6d2a48adfda4"),
        uuid_from_machine_id("3d1219c7c4c5404aaa1f6d2a48adfda4"));
}

TEST(AgentUuidTest, FirstMachineIdFileThenHostNameThenRandom)
{
    ScratchDir dir;
    const std::string id = "3d1219c7c4c5404aaa1f6d2a48adfda4";
    const std::string host_uuid = "9f8e7d6c-5b4a-4321-8fed-cba987654321";
    std::string systemd = dir.write("machine-id", id + "\n");
    std::string unknown = dir.write("zero-id", std::string(32, '0') + "\n");
    std::string freebsd = dir.write("hostid", host_uuid + "\n");
    std::string missing = dir.file("missing");
    struct Row {
        std::vector<std::string> files;
        std::string host_name;
        std::string source;
        std::string uuid;
    } rows[] = {
        {{systemd, freebsd}, "lab-1", systemd, uuid_from_machine_id(id)},
        {{missing, unknown, freebsd}, "lab-1", freebsd, uuid_from_machine_id(host_uuid)},
        {{missing, unknown}, "lab-1", "host name", uuid_from_host_name("lab-1")},
    };
    for (const Row &row : rows) {
        AgentUuid found = default_agent_uuid(row.files, row.host_name);
        EXPECT_EQ(found.source, row.source) << row.source;
        EXPECT_EQ(found.uuid, row.uuid) << row.source;
        EXPECT_TRUE(is_version4_uuid(found.uuid)) << found.uuid;
    }
    EXPECT_NE(uuid_from_host_name("lab-1"), uuid_from_host_name("lab-2"));
    EXPECT_NE(uuid_from_host_name(id), uuid_from_machine_id(id)) << "the salts differ";

    AgentUuid first = default_agent_uuid({missing}, "");
    EXPECT_EQ(first.source, "random");
    EXPECT_TRUE(is_version4_uuid(first.uuid)) << first.uuid;
    EXPECT_NE(first.uuid, default_agent_uuid({missing}, "").uuid);
}

TEST(AgentUuidTest, FormatsCanonically)
{
    std::array<uint8_t, 16> bytes;
    bytes.fill(0xff);
    EXPECT_EQ(format_uuid(bytes), "ffffffff-ffff-4fff-bfff-ffffffffffff");
    bytes.fill(0);
    EXPECT_EQ(format_uuid(bytes), "00000000-0000-4000-8000-000000000000");
}

// An install, wherever its prefix has gone: the loader names the runner's
// copy of the host library through the program's directory ($ORIGIN/..),
// and the plug-in directory lies beside it. A build tree has none there.
TEST(InstalledPluginTest, FoundFromTheHostLibraryTheLoaderFound)
{
    ScratchDir prefix;
    for (const char *directory : {"bin", TAVRIX_RUNNER_LIBDIR, TAVRIX_PLUGIN_DIR}) {
        std::filesystem::create_directories(prefix.file(directory));
    }
    write_file(prefix.file(TAVRIX_RUNNER_LIBDIR "/libtavrixd.so.15"), "");
    write_file(prefix.file(TAVRIX_PLUGIN_DIR "/" TAVRIX_PLUGIN_FILE), "");
    std::string plugin = std::filesystem::canonical(prefix.file(TAVRIX_PLUGIN_DIR)).string() +
        "/" + TAVRIX_PLUGIN_FILE;
    EXPECT_EQ(installed_plugin(prefix.file("bin/../" TAVRIX_RUNNER_LIBDIR "/libtavrixd.so.15")),
        plugin);

    std::string elsewhere = installed_plugin(prefix.file("build/src/host/libtavrixd.so.15"));
    EXPECT_NE(access(elsewhere.c_str(), F_OK), 0) << elsewhere;
    EXPECT_EQ(installed_plugin("libtavrixd.so.15"), "") << "no path, no install";
}

} // namespace
