#include "socket_wait.h"

#include <poll.h>
#include <sys/select.h>

namespace {

constexpr int TIMEOUT_SECONDS = 1;

int wait_select(int socket, bool want_write, mq_readiness &ready)
{
    fd_set read_set, write_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_SET(socket, &read_set);
    if (want_write) {
        FD_SET(socket, &write_set);
    }
    struct timeval timeout = {TIMEOUT_SECONDS, 0};
    int result = select(socket + 1, &read_set, &write_set, nullptr, &timeout);
    if (result > 0) {
        ready.readable = FD_ISSET(socket, &read_set);
        ready.writable = FD_ISSET(socket, &write_set);
    }
    return result;
}

// The fixed-size sets cannot hold a descriptor this large; poll has no
// such limit and answers the same question.
int wait_poll(int socket, bool want_write, mq_readiness &ready)
{
    struct pollfd entry = {socket, static_cast<short>(POLLIN | (want_write ? POLLOUT : 0)), 0};
    int result = poll(&entry, 1, TIMEOUT_SECONDS * 1000);
    if (result > 0) {
        // Errors and hang-ups surface through the read, as select reports
        // them as readable.
        ready.readable = (entry.revents & (POLLIN | POLLHUP | POLLERR | POLLNVAL)) != 0;
        ready.writable = want_write && (entry.revents & POLLOUT) != 0;
    }
    return result;
}

} // namespace

int mq_wait_socket(int socket, bool want_write, mq_readiness &ready)
{
    ready = {false, false};
    if (socket < FD_SETSIZE) {
        return wait_select(socket, want_write, ready);
    }
    return wait_poll(socket, want_write, ready);
}
