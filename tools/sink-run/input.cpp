#include "input.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "options.h"

constexpr std::size_t READ_SIZE = 64 * 1024;

InputReader::InputReader(const std::string &path, bool whole_) : fd(STDIN_FILENO), whole(whole_)
{
    // "-" is standard input, as for most tools that take a file.
    if (path.empty() || path == "-") {
        return;
    }
    fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        throw UsageError("cannot open input " + path + ": " + std::strerror(errno));
    }
    owned = true;
}

InputReader::InputReader(int fd_, bool whole_) : fd(fd_), whole(whole_) {}

InputReader::~InputReader()
{
    if (owned) {
        close(fd);
    }
}

InputReader::Result InputReader::next(std::string &payload, int interrupt_fd)
{
    for (;;) {
        if (!whole && take_line(payload)) {
            return PAYLOAD;
        }
        // The whole input, even an empty one, is one payload.
        if (at_end && (!whole || whole_taken)) {
            return END;
        }
        if (at_end) {
            whole_taken = true;
            payload.swap(buffer);
            buffer.clear();
            return PAYLOAD;
        }
        Result filled = fill(interrupt_fd);
        if (filled == INTERRUPTED || filled == FAILED) {
            return filled;
        }
        at_end = filled == END;
        // A last line without its newline is a line all the same.
        if (at_end && !whole && start < buffer.size()) {
            buffer.push_back('\n');
        }
    }
}

bool InputReader::take_line(std::string &payload)
{
    const char *base = buffer.data() + start;
    std::size_t available = buffer.size() - start;
    const void *newline = std::memchr(base + scanned, '\n', available - scanned);
    if (newline == nullptr) {
        scanned = available;
        return false;
    }
    std::size_t length = static_cast<std::size_t>(static_cast<const char *>(newline) - base);
    payload.assign(base, length > 0 && base[length - 1] == '\r' ? length - 1 : length);
    start += length + 1;
    scanned = 0;
    return true;
}

// PAYLOAD: more bytes in the buffer.
InputReader::Result InputReader::fill(int interrupt_fd)
{
    struct pollfd waits[2] = {{fd, POLLIN, 0}, {interrupt_fd, POLLIN, 0}};
    int ready;
    while ((ready = poll(waits, 2, -1)) < 0 && errno == EINTR) {
    }
    if (ready < 0) {
        failure = std::string("poll: ") + std::strerror(errno);
        return FAILED;
    }
    if (waits[1].revents != 0) {
        return INTERRUPTED;
    }
    // Handed-out bytes are dropped before the buffer grows.
    buffer.erase(0, start);
    start = 0;
    std::size_t used = buffer.size();
    buffer.resize(used + READ_SIZE);
    ssize_t got;
    while ((got = read(fd, &buffer[used], READ_SIZE)) < 0 && errno == EINTR) {
    }
    buffer.resize(used + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got < 0) {
        failure = std::strerror(errno);
        return FAILED;
    }
    return got == 0 ? END : PAYLOAD;
}
