#include "run_events.h"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include <fcntl.h>
#include <unistd.h>

RunEvents::RunEvents()
{
    int ends[2];
    if (pipe2(ends, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    pipe_read = ends[0];
    pipe_write = ends[1];
}

RunEvents::~RunEvents()
{
    close(pipe_read);
    close(pipe_write);
}

void RunEvents::request_stop(int signal)
{
    int none = 0;
    if (!stop_signal_number.compare_exchange_strong(none, signal)) {
        hurry_requested.store(true);
    }
    interrupt();
}

void RunEvents::worker_ended()
{
    worker_gone.store(true);
    interrupt();
}

void RunEvents::notify()
{
    // Taking the lock orders this wake-up after a waiter's check of its
    // condition, so that no change is missed between check and wait.
    { std::lock_guard<std::mutex> guard(lock); }
    changed.notify_all();
}

void RunEvents::interrupt()
{
    // One byte is enough: nobody reads it, the descriptor stays readable.
    // A full pipe is as readable as one byte makes it.
    ssize_t written = write(pipe_write, "!", 1);
    (void)written;
    notify();
}
