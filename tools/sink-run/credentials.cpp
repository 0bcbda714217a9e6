#include "credentials.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>

#include <sys/stat.h>


namespace {

// The first line, without its line ending: a file written with echo and
// one written with an editor hold the same password.
std::string password_from(const std::string &path, std::vector<std::string> &warnings)
{
    std::ifstream file(path);
    std::string line;
    if (!file.is_open() || (!std::getline(file, line) && file.bad())) {
        throw UsageError("cannot read password file " + path + ": " + std::strerror(errno));
    }
    if (!line.empty() && line.back() == '\r') {
        line.pop_back();
    }
    if (line.empty()) {
        throw UsageError("password file " + path + " holds no password on its first line");
    }
    struct stat info;
    if (stat(path.c_str(), &info) == 0) {
        warn_if_exposed(path, info.st_mode, "the password", warnings);
    }
    return line;
}

} // namespace

nlohmann::json configuration_overrides(const Options &options, const char *environment_password,
    std::vector<std::string> &warnings)
{
    nlohmann::json overrides = options.settings;
    if (!options.password_file.empty()) {
        overrides["pass"] = password_from(options.password_file, warnings);
    } else if (!options.password.empty()) {
        warnings.push_back("-P puts the password in the process list, where every user of"
                           " this machine can read it; prefer --pw-file FILE or " +
            std::string(PASSWORD_VARIABLE));
        overrides["pass"] = options.password;
    } else if (environment_password != nullptr && *environment_password != '\0') {
        overrides["pass"] = environment_password;
    }
    return overrides;
}

void warn_if_exposed(const std::string &path, mode_t mode, const std::string &what,
    std::vector<std::string> &warnings)
{
    if ((mode & S_IROTH) == 0) {
        return;
    }
    char octal[8];
    std::snprintf(octal, sizeof octal, "%04o", static_cast<unsigned>(mode & 07777));
    warnings.push_back(path + " holds " + what + " and every user can read it (mode " + octal +
        "): chmod o-r " + path);
}
