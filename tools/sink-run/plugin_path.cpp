#include "plugin_path.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <dlfcn.h>
#include <sys/stat.h>
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
    }
    // A build tree: the program was never installed.
    candidates.push_back(TAVRIX_SINK_RUN_BUILD_PLUGIN);
    return candidates;
}

namespace {

// The program as the loader knows it: a path (FreeBSD gives it whole,
// glibc gives argv[0]), or a bare name that PATH found.
std::string program_path()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&program_directory), &info) == 0 ||
        info.dli_fname == nullptr) {
        return std::string();
    }
    std::string name = info.dli_fname;
    if (name.find('/') != std::string::npos) {
        return name;
    }
    const char *path = std::getenv("PATH");
    if (path == nullptr) {
        return std::string();
    }
    std::string directories = path;
    for (std::size_t start = 0; start <= directories.size();) {
        std::size_t end = directories.find(':', start);
        end = end == std::string::npos ? directories.size() : end;
        // An empty entry is the current directory, as for the shell.
        std::string directory = directories.substr(start, end - start);
        std::string candidate = (directory.empty() ? "." : directory) + "/" + name;
        struct stat status;
        if (access(candidate.c_str(), X_OK) == 0 && stat(candidate.c_str(), &status) == 0 &&
            S_ISREG(status.st_mode)) {
            return candidate;
        }
        start = end + 1;
    }
    return std::string();
}

} // namespace

std::string program_directory()
{
    char resolved[PATH_MAX];
    std::string program = program_path();
    if (program.empty() || realpath(program.c_str(), resolved) == nullptr) {
        return std::string();
    }
    std::string whole = resolved;
    return whole.substr(0, whole.rfind('/'));
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
