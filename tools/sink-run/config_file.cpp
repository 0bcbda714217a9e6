#include "config_file.h"

#include <cerrno>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

bool read_all(int fd, std::string &text)
{
    char chunk[8192];
    for (;;) {
        ssize_t got = read(fd, chunk, sizeof chunk);
        if (got > 0) {
            text.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0) {
            return true;
        } else if (errno != EINTR) {
            return false;
        }
    }
}

void parse(ConfigFile &file, const std::string &text)
{
    try {
        file.document = nlohmann::json::parse(text, nullptr, true, true);
    } catch (const nlohmann::json::exception &e) {
        file.document = nlohmann::json(nlohmann::json::value_t::discarded);
        file.parse_error = e.what();
    }
}

} // namespace

ConfigFile inspect_config(const std::string &path)
{
    ConfigFile file;
    file.path = path;
    file.document = nlohmann::json(nlohmann::json::value_t::discarded);
    struct stat info;
    if (stat(path.c_str(), &info) != 0) {
        file.error = errno;
        return file;
    }
    file.mode = info.st_mode & 07777;
    if (!S_ISREG(info.st_mode)) {
        return file;
    }
    // O_NONBLOCK: should the path have become a FIFO since, the open does
    // not wait for a writer.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    std::string text;
    if (fd < 0 || !read_all(fd, text)) {
        file.error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return file;
    }
    close(fd);
    file.regular = true;
    parse(file, text);
    return file;
}
