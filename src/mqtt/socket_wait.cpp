#include "socket_wait.h"

#include <algorithm>

#include <poll.h>
#include <sys/select.h>

namespace {

int wait_select(int socket, bool want_write, int wake_fd, std::chrono::microseconds timeout,
    SocketReadiness &ready)
{
    fd_set read_set, write_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    if (socket != -1) {
        FD_SET(socket, &read_set);
        if (want_write) {
            FD_SET(socket, &write_set);
        }
    }
    if (wake_fd != -1) {
        FD_SET(wake_fd, &read_set);
    }
    struct timeval wait = {static_cast<time_t>(timeout.count() / 1000000),
        static_cast<suseconds_t>(timeout.count() % 1000000)};
    int result = select(std::max(socket, wake_fd) + 1, &read_set, &write_set, nullptr, &wait);
    if (result > 0) {
        ready.readable = socket != -1 && FD_ISSET(socket, &read_set);
        ready.writable = socket != -1 && FD_ISSET(socket, &write_set);
        ready.woken = wake_fd != -1 && FD_ISSET(wake_fd, &read_set);
    }
    return result;
}

// The fixed-size sets cannot hold a descriptor this large; poll has no
// such limit and answers the same question.
int wait_poll(int socket, bool want_write, int wake_fd, std::chrono::microseconds timeout,
    SocketReadiness &ready)
{
    struct pollfd entries[2] = {
        {socket, static_cast<short>(POLLIN | (want_write ? POLLOUT : 0)), 0},
        {wake_fd, POLLIN, 0},
    };
    // Rounded up: a wait shorter than a millisecond must not become none.
    int milliseconds = static_cast<int>((timeout.count() + 999) / 1000);
    int result = poll(entries, wake_fd == -1 ? 1 : 2, milliseconds);
    if (result > 0) {
        // Errors and hang-ups surface through the read, as select reports
        // them as readable.
        ready.readable = (entries[0].revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        ready.writable = want_write && (entries[0].revents & POLLOUT) != 0;
        ready.woken = wake_fd != -1 && entries[1].revents != 0;
    }
    return result;
}

} // namespace

int mq_wait_socket(int socket, bool want_write, int wake_fd, std::chrono::microseconds timeout,
    SocketReadiness &ready)
{
    ready = {false, false, false};
    timeout = std::max(timeout, std::chrono::microseconds(0));
    if (socket < FD_SETSIZE && wake_fd < FD_SETSIZE) {
        return wait_select(socket, want_write, wake_fd, timeout, ready);
    }
    return wait_poll(socket, want_write, wake_fd, timeout, ready);
}

bool mq_socket_writable(int socket)
{
    struct pollfd entry = {socket, POLLOUT, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLOUT) != 0;
}
