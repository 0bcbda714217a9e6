#include "plugin_path.h"

#include <cerrno>
#include <climits>
#include <cstring>

#include <unistd.h>

#include "options.h"

std::vector<std::string> plugin_candidates(const std::string &program_dir)
{
    const std::string file = TAVRIX_SINK_RUN_PLUGIN_FILE;
    std::vector<std::string> candidates;
    if (!program_dir.empty()) {
        // Installed: bin/ and the library directory share a prefix, which
        // may have been moved since the build.
        candidates.push_back(program_dir + "/../" TAVRIX_SINK_RUN_INSTALL_LIBDIR "/" + file);
        candidates.push_back(program_dir + "/../lib/" + file);
    }
    // A build tree: the program was never installed.
    candidates.push_back(TAVRIX_SINK_RUN_BUILD_PLUGIN);
    return candidates;
}

std::string program_directory()
{
    char path[PATH_MAX];
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) {
        return std::string();
    }
    std::string program(path, static_cast<std::size_t>(length));
    std::size_t slash = program.rfind('/');
    return slash == std::string::npos ? std::string() : program.substr(0, slash);
}

std::string choose_plugin(const std::string &given)
{
    if (!given.empty()) {
        if (access(given.c_str(), R_OK) != 0) {
            throw UsageError("cannot read plug-in " + given + ": " + std::strerror(errno));
        }
        return given;
    }
    std::string looked;
    for (const std::string &candidate : plugin_candidates(program_directory())) {
        // Loaded by the name it was found under, the soname's link, as the
        // agent loads it.
        if (access(candidate.c_str(), R_OK) == 0) {
            return candidate;
        }
        looked += (looked.empty() ? "" : ", ") + candidate;
    }
    throw UsageError("no plug-in found (looked for " + looked + "); give --plugin PATH");
}
