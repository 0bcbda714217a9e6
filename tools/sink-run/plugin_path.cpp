#include "plugin_path.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <unistd.h>

#include <host/tavrixd.h>

#include "options.h"

namespace {

// The loader found the runner's own copy of the host library through the
// RUNPATH, relative to the program: where it lies tells where the install
// is, wherever its prefix has moved since the build.
std::string stand_in_path()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&ag_debug_enabled), &info) == 0 ||
        info.dli_fname == nullptr) {
        return std::string();
    }
    return info.dli_fname;
}

} // namespace

// An install keeps the runner's library directory and the plug-in
// directory under one prefix, however it is moved.
std::string installed_plugin(const std::string &stand_in)
{
    std::size_t slash = stand_in.rfind('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    std::string directory = stand_in.substr(0, slash + 1) + TAVRIX_SINK_RUN_PLUGINS_FROM_STAND_IN;
    char resolved[PATH_MAX];
    if (realpath(directory.c_str(), resolved) != nullptr) {
        directory = resolved;
    }
    return directory + "/" + TAVRIX_SINK_RUN_PLUGIN_FILE;
}

// Loaded by the name it was found under, the soname's link, as the agent
// loads it.
std::string choose_plugin(const std::string &given)
{
    if (!given.empty()) {
        if (access(given.c_str(), R_OK) != 0) {
            throw UsageError("cannot read plug-in " + given + ": " + std::strerror(errno));
        }
        return given;
    }
    std::string looked;
    for (const std::string &candidate :
        {installed_plugin(stand_in_path()), std::string(TAVRIX_SINK_RUN_BUILD_PLUGIN)}) {
        if (candidate.empty()) {
            continue;
        }
        if (access(candidate.c_str(), R_OK) == 0) {
            return candidate;
        }
        looked += (looked.empty() ? "" : ", ") + candidate;
    }
    throw UsageError("no plug-in found (looked for " + looked + "); give --plugin PATH");
}
