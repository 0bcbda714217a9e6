#include <gtest/gtest.h>

#include <filesystem>

#include <unistd.h>

#include <scratch_dir.h>

#include "plugin_path.h"

namespace {

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
