#include "config_file.h"

#include <algorithm>
#include <cerrno>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

// Reads to the end. A pipe's writer may be slow to come or to write: each
// read waits for data until `deadline`, after which errno is ETIMEDOUT. A
// FIFO without a writer yet reads as at its end, so the wait comes first.
bool read_all(int fd, std::string &text, Clock::time_point deadline)
{
    char chunk[8192];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        struct pollfd entry = {fd, POLLIN, 0};
        int ready = poll(&entry, 1, static_cast<int>(std::max<long long>(0, left.count())));
        if (ready == 0) {
            errno = ETIMEDOUT;
            return false;
        }
        ssize_t got = ready < 0 ? -1 : read(fd, chunk, sizeof chunk);
        if (got > 0) {
            text.append(chunk, static_cast<std::size_t>(got));
        } else if (got == 0) {
            return true;
        } else if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
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

ConfigFile inspect_config(const std::string &path, std::chrono::milliseconds pipe_limit)
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
    file.regular = S_ISREG(info.st_mode);
    if (S_ISDIR(info.st_mode)) {
        file.error = EISDIR;
        return file;
    }
    // O_NONBLOCK: a FIFO's open does not wait for a writer; its reads wait
    // in read_all, within the limit.
    int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    std::string text;
    auto deadline = Clock::now() + (file.regular ? std::chrono::milliseconds(0) : pipe_limit);
    if (fd < 0 || !read_all(fd, text, deadline)) {
        file.error = errno;
        if (fd >= 0) {
            close(fd);
        }
        return file;
    }
    close(fd);
    file.read = true;
    parse(file, text);
    return file;
}
