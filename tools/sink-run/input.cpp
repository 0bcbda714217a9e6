#include "input.h"

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include "options.h"

namespace {

constexpr std::size_t READ_SIZE = 64 * 1024;

} // namespace

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
        if (at_end) {
            return take_rest(payload) ? PAYLOAD : END;
        }
        switch (fill(interrupt_fd)) {
        case FILLED:
            break;
        case AT_END:
            at_end = true;
            break;
        case STOPPED:
            return INTERRUPTED;
        case BROKEN:
            return FAILED;
        }
    }
}

// At the end: the whole input, even an empty one, is one payload; a last
// line without its newline is a line all the same.
bool InputReader::take_rest(std::string &payload)
{
    if (whole) {
        if (rest_taken) {
            return false;
        }
        rest_taken = true;
        payload.swap(buffer);
        buffer.clear();
        return true;
    }
    if (start == buffer.size()) {
        return false;
    }
    std::size_t length = buffer.size() - start;
    if (buffer.back() == '\r') {
        --length;
    }
    payload.assign(buffer, start, length);
    start = buffer.size();
    scanned = 0;
    return true;
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
    std::size_t content = length;
    if (content > 0 && base[content - 1] == '\r') {
        --content;
    }
    payload.assign(base, content);
    start += length + 1;
    scanned = 0;
    return true;
}

InputReader::Fill InputReader::fill(int interrupt_fd)
{
    struct pollfd waits[2] = {{fd, POLLIN, 0}, {interrupt_fd, POLLIN, 0}};
    for (;;) {
        int ready = poll(waits, 2, -1);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready < 0) {
            failure = std::string("poll: ") + std::strerror(errno);
            return BROKEN;
        }
        if (waits[1].revents != 0) {
            return STOPPED;
        }
        break;
    }
    // Handed-out bytes are dropped before the buffer grows.
    if (start > 0) {
        buffer.erase(0, start);
        start = 0;
    }
    std::size_t used = buffer.size();
    buffer.resize(used + READ_SIZE);
    ssize_t got;
    do {
        got = read(fd, &buffer[used], READ_SIZE);
    } while (got < 0 && errno == EINTR);
    buffer.resize(used + (got > 0 ? static_cast<std::size_t>(got) : 0));
    if (got < 0) {
        failure = std::strerror(errno);
        return BROKEN;
    }
    return got == 0 ? AT_END : FILLED;
}
