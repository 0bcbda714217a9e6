#include "private_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace {

std::runtime_error system_error(const std::string &what, const std::string &path)
{
    return std::runtime_error(what + " " + path + ": " + std::strerror(errno));
}

void write_all(int fd, const std::string &text, const std::string &path)
{
    std::size_t done = 0;
    while (done < text.size()) {
        ssize_t wrote = ::write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) {
            continue;
        }
        if (wrote < 0) {
            throw system_error("cannot write", path);
        }
        done += static_cast<std::size_t>(wrote);
    }
}

} // namespace

PrivateFile::PrivateFile(const std::string &name)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
        "/tavrix-sink-run.XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (mkdtemp(buffer.data()) == nullptr) {
        throw system_error("cannot make a private directory", pattern);
    }
    directory = buffer.data();
    file_path = directory + "/" + name;
}

PrivateFile::~PrivateFile()
{
    remove();
}

// Written beside the file and renamed over it: the plug-in may read it
// at any moment, on a reload.
void PrivateFile::write(const std::string &text)
{
    std::lock_guard<std::mutex> guard(lock);
    if (removed) {
        return;
    }
    std::string next = file_path + ".new";
    int fd = open(next.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) {
        throw system_error("cannot create", next);
    }
    try {
        write_all(fd, text, next);
    } catch (...) {
        close(fd);
        unlink(next.c_str());
        throw;
    }
    if (close(fd) != 0 || rename(next.c_str(), file_path.c_str()) != 0) {
        std::runtime_error error = system_error("cannot write", file_path);
        unlink(next.c_str());
        throw error;
    }
}

void PrivateFile::remove() noexcept
{
    std::lock_guard<std::mutex> guard(lock);
    if (removed) {
        return;
    }
    removed = true;
    unlink((file_path + ".new").c_str());
    unlink(file_path.c_str());
    rmdir(directory.c_str());
}
