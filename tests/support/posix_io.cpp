#include "posix_io.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int loopback_call(uint16_t port, int (*call)(int, const sockaddr *, socklen_t))
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd != -1 && call(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

} // namespace

std::string errno_text(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

int bind_loopback()
{
    return loopback_call(0, bind);
}

int connect_loopback(uint16_t port)
{
    return loopback_call(port, connect);
}

int connect_outcome(int fd, std::chrono::milliseconds limit)
{
    pollfd watched{fd, POLLOUT, 0};
    if (poll(&watched, 1, static_cast<int>(limit.count())) != 1) {
        return ETIMEDOUT;
    }
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 ? error : errno;
}

uint16_t local_port(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

uint16_t free_loopback_port()
{
    int fd = bind_loopback();
    if (fd == -1) {
        throw std::runtime_error(errno_text("bind"));
    }
    uint16_t port = local_port(fd);
    close(fd);
    return port;
}

bool write_all(int fd, const char *data, std::size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0 && errno == EINTR) {
            continue;
        }
        if (written <= 0) {
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

ssize_t read_within(int fd, char *buffer, std::size_t size, std::chrono::milliseconds limit)
{
    pollfd watched{fd, POLLIN, 0};
    if (poll(&watched, 1, static_cast<int>(limit.count())) != 1) {
        errno = ETIMEDOUT;
        return -1;
    }
    return read(fd, buffer, size);
}
