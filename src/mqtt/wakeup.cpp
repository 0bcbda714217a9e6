#include "wakeup.h"

#include <cerrno>

#include <fcntl.h>
#include <unistd.h>

namespace {

// Non-blocking on both ends: a full pipe already holds the wake-up, and the
// worker's read must never wait. Close-on-exec: the host may start
// programs, which must not keep the pipe open.
bool prepare(int fd)
{
    int status = fcntl(fd, F_GETFL);
    int descriptor = fcntl(fd, F_GETFD);
    return status != -1 && descriptor != -1 && fcntl(fd, F_SETFL, status | O_NONBLOCK) != -1 &&
        fcntl(fd, F_SETFD, descriptor | FD_CLOEXEC) != -1;
}

} // namespace

WorkerWakeup::WorkerWakeup()
{
    if (pipe(ends) != 0) {
        ends[0] = ends[1] = -1;
        return;
    }
    if (!prepare(ends[0]) || !prepare(ends[1])) {
        close(ends[0]);
        close(ends[1]);
        ends[0] = ends[1] = -1;
    }
}

WorkerWakeup::~WorkerWakeup()
{
    if (Usable()) {
        close(ends[0]);
        close(ends[1]);
    }
}

void WorkerWakeup::Clear()
{
    if (!Usable()) {
        return;
    }
    char bytes[64];
    while (read(ends[0], bytes, sizeof bytes) > 0) {
    }
}

// The plain load spares the host's threads a locked exchange per payload
// while the worker is busy. It cannot miss an arming that matters: the
// worker arms before it looks at the queue, under the queue's lock, which
// the host took since to queue the payload.
void WorkerWakeup::WakeIfArmed()
{
    if (armed.load(std::memory_order_relaxed) && armed.exchange(false)) {
        Wake();
    }
}

void WorkerWakeup::Wake()
{
    if (!Usable()) {
        return;
    }
    ssize_t written;
    do {
        written = write(ends[1], "", 1);
    } while (written == -1 && errno == EINTR);
}
