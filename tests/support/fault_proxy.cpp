#include "fault_proxy.h"

#include <algorithm>
#include <cerrno>
#include <deque>
#include <stdexcept>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "posix_io.h"

namespace {

using Clock = std::chrono::steady_clock;

// Indexes of the two directions, as Direction's values.
constexpr int UP = 0;
constexpr int DOWN = 1;
// What one direction holds before it stops reading: enough for a high
// rate behind a long delay (8 MiB in 25 ms is over 300 MB/s), yet bounded,
// so that a receiver that stops reading holds its sender back.
constexpr std::size_t QUEUE_LIMIT = 8u << 20;
constexpr std::size_t READ_SIZE = 64u << 10;
// A filler that does not connect within this had its SYN dropped: the
// listening queue is full.
constexpr std::chrono::milliseconds FILLER_WAIT{200};
constexpr std::size_t MAX_FILLERS = 4;

// An RST rather than a FIN: the peer learns of the end at once, not after
// whatever it still had to send.
void reset(int fd)
{
    linger abort{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abort, sizeof abort);
    close(fd);
}

// Small MQTT packets must not wait for one another inside the proxy's
// sockets: the delay is the proxy's alone.
void no_delay(int fd)
{
    int on = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
}

bool transient(int error)
{
    return error == EAGAIN || error == EWOULDBLOCK || error == EINTR;
}

} // namespace

// The two sockets of a connection, indexed so that a direction's source
// is its own index and its target the other.
constexpr int CLIENT = UP;
constexpr int UPSTREAM = DOWN;

struct FaultProxy::Connection {
    struct Chunk {
        Clock::time_point release;
        // None: the source's end of data, passed on as a FIN in its turn.
        std::string bytes;
        std::size_t sent = 0;
    };
    struct Flow {
        std::deque<Chunk> chunks;
        std::size_t queued = 0;
        bool read_end = false;
        bool passed_end = false;
    };

    void end(bool abort)
    {
        // Either side may be -1, not yet or no longer there: EBADF, harmless.
        for (int &socket : fd) {
            abort ? reset(socket) : (void)close(socket);
            socket = -1;
        }
        closed = true;
    }

    int fd[2] = {-1, -1};
    bool connecting = false;
    bool black_holed = false;
    bool closed = false;
    Flow flows[2];
    // Where its sockets are in this round's poll set; -1 when not there.
    int slot[2] = {-1, -1};
};

FaultProxy::FaultProxy(uint16_t upstream) : upstream_port(upstream), buffer(READ_SIZE)
{
    auto fail = [this](const char *what) {
        std::string text = errno_text(what);
        for (int fd : {listener, wake_read, wake_write}) {
            close(fd);
        }
        throw std::runtime_error("fault proxy: " + text);
    };
    int ends[2];
    if (pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        fail("pipe");
    }
    wake_read = ends[0];
    wake_write = ends[1];
    listener = bind_loopback();
    if (listener == -1 || listen(listener, SOMAXCONN) != 0) {
        fail(listener == -1 ? "bind" : "listen");
    }
    listen_port = local_port(listener);
    worker = std::thread(&FaultProxy::run, this);
}

FaultProxy::~FaultProxy()
{
    {
        std::lock_guard<std::mutex> held(lock);
        stopping = true;
    }
    (void)!write(wake_write, "x", 1);
    worker.join();
    for (auto &connection : connections) {
        connection->end(true);
    }
    for (int fd : fillers) {
        reset(fd);
    }
    for (int fd : {listener, wake_read, wake_write}) {
        close(fd);
    }
}

void FaultProxy::set_delay(std::chrono::milliseconds to_upstream,
    std::chrono::milliseconds to_client)
{
    change([&] {
        delay[UP] = to_upstream;
        delay[DOWN] = to_client;
    });
}

void FaultProxy::black_hole(bool on)
{
    change([&] { black_holing = on; });
}

void FaultProxy::silent(bool on)
{
    change([&] {
        if (on == silenced) {
            return;
        }
        try {
            apply_silence(on);
        } catch (const std::exception &e) {
            apply_silence(false);
            throw std::runtime_error(std::string("fault proxy: ") + e.what());
        }
        silenced = on;
    });
}

void FaultProxy::cut()
{
    change([&] {
        for (auto &connection : connections) {
            connection->end(true);
        }
    });
}

void FaultProxy::stall(Direction direction, bool on)
{
    change([&] { stalled[static_cast<int>(direction)] = on; });
}

// Only the proxy thread touches its sockets; the caller returns once the
// change is in force, so that a test may connect, send or assert right
// after.
template <typename Edit> void FaultProxy::change(Edit edit)
{
    std::packaged_task<void()> task([&] {
        edit();
        sweep();
    });
    std::future<void> done = task.get_future();
    {
        std::lock_guard<std::mutex> held(lock);
        changes.push_back(std::move(task));
    }
    (void)!write(wake_write, "x", 1);
    done.get();
}

void FaultProxy::run()
{
    std::vector<pollfd> polled;
    for (;;) {
        Clock::time_point now = Clock::now();
        polled.clear();
        polled.push_back({wake_read, POLLIN, 0});
        polled.push_back({silenced ? -1 : listener, POLLIN, 0});
        int timeout = -1;
        for (auto &connection : connections) {
            int wait = watch(*connection, polled, now);
            if (wait >= 0 && (timeout < 0 || wait < timeout)) {
                timeout = wait;
            }
        }
        poll(polled.data(), polled.size(), timeout);
        if (polled[0].revents != 0 && !run_changes()) {
            return;
        }
        for (auto &connection : connections) {
            serve(*connection, polled);
        }
        if (polled[1].revents != 0 && !silenced) {
            accept_waiting({});
        }
        sweep();
    }
}

bool FaultProxy::run_changes()
{
    char drained[64];
    while (read(wake_read, drained, sizeof drained) > 0) {
    }
    std::vector<std::packaged_task<void()>> taken;
    {
        std::lock_guard<std::mutex> held(lock);
        if (stopping) {
            return false;
        }
        taken.swap(changes);
    }
    for (auto &task : taken) {
        task();
    }
    return true;
}

void FaultProxy::apply_silence(bool on)
{
    if (on) {
        // The smallest backlog, filled by the proxy's own connects and
        // never accepted: the kernel then drops every further SYN.
        listen(listener, 0);
        fill_listening_queue();
        return;
    }
    // The fillers go before the queue opens again: one whose SYN is still
    // unanswered would otherwise get in on its next try.
    std::vector<uint16_t> filler_ports;
    for (int fd : fillers) {
        filler_ports.push_back(local_port(fd));
        reset(fd);
    }
    fillers.clear();
    listen(listener, SOMAXCONN);
    accept_waiting(filler_ports);
}

void FaultProxy::fill_listening_queue()
{
    while (fillers.size() < MAX_FILLERS) {
        int fd = connect_loopback(listen_port);
        if (fd == -1) {
            throw std::runtime_error(errno_text("connect to the listener"));
        }
        fillers.push_back(fd);
        bool connected = connect_outcome(fd, FILLER_WAIT) == 0;
#ifdef __linux__
        // Linux tells a listening socket's queue length and limit.
        (void)connected;
        tcp_info info{};
        socklen_t length = sizeof info;
        if (getsockopt(listener, IPPROTO_TCP, TCP_INFO, &info, &length) == 0 &&
            info.tcpi_unacked > info.tcpi_sacked) {
            return;
        }
#else
        if (!connected) {
            return;
        }
#endif
    }
    throw std::runtime_error("the listening queue would not fill");
}

void FaultProxy::accept_waiting(const std::vector<uint16_t> &filler_ports)
{
    for (;;) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length,
            SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd == -1) {
            if (errno == EINTR || errno == ECONNABORTED) {
                continue;
            }
            return;
        }
        if (std::find(filler_ports.begin(), filler_ports.end(), ntohs(peer.sin_port)) !=
            filler_ports.end()) {
            reset(fd);
            continue;
        }
        admit(fd);
    }
}

void FaultProxy::admit(int client)
{
    accepted_count.fetch_add(1);
    no_delay(client);
    auto connection = std::make_unique<Connection>();
    connection->fd[CLIENT] = client;
    connection->black_holed = black_holing;
    if (!connection->black_holed) {
        int upstream = connect_loopback(upstream_port);
        if (upstream == -1) {
            connection->end(true);
            return;
        }
        connection->fd[UPSTREAM] = upstream;
        connection->connecting = true;
        no_delay(upstream);
    }
    connections.push_back(std::move(connection));
}

void FaultProxy::sweep()
{
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                          [](const auto &connection) { return connection->closed; }),
        connections.end());
    open_count.store(connections.size());
}

/* Adds what `connection` waits for to `polled`; returns the milliseconds
 * until its next chunk is due, or -1. */
int FaultProxy::watch(Connection &connection, std::vector<pollfd> &polled, Clock::time_point now)
{
    connection.slot[CLIENT] = connection.slot[UPSTREAM] = -1;
    if (connection.closed) {
        return -1;
    }
    short events[2] = {0, 0};
    int timeout = -1;
    if (connection.black_holed) {
        events[CLIENT] = POLLIN;
    } else if (connection.connecting) {
        events[UPSTREAM] = POLLOUT;
    } else {
        for (int direction : {UP, DOWN}) {
            if (may_read(connection, direction)) {
                events[direction] |= POLLIN;
            }
            const auto &chunks = connection.flows[direction].chunks;
            if (chunks.empty()) {
                continue;
            }
            if (chunks.front().release <= now) {
                events[1 - direction] |= POLLOUT;
            } else {
                auto due = std::chrono::ceil<std::chrono::milliseconds>(
                    chunks.front().release - now);
                int wait = static_cast<int>(due.count());
                timeout = timeout < 0 ? wait : std::min(timeout, wait);
            }
        }
    }
    // A socket with nothing to wait for stays out, or a hang-up that is
    // not read yet would wake the loop again and again.
    for (int side : {CLIENT, UPSTREAM}) {
        if (events[side] != 0) {
            connection.slot[side] = static_cast<int>(polled.size());
            polled.push_back({connection.fd[side], events[side], 0});
        }
    }
    return timeout;
}

void FaultProxy::serve(Connection &connection, const std::vector<pollfd> &polled)
{
    short events[2] = {0, 0};
    for (int side : {CLIENT, UPSTREAM}) {
        events[side] = connection.slot[side] < 0 ? 0 : polled[connection.slot[side]].revents;
    }
    if (connection.closed) {
        return;
    }
    if (connection.black_holed) {
        if (events[CLIENT] != 0) {
            discard(connection);
        }
        return;
    }
    if (connection.connecting) {
        // A refused upstream, as when the broker is down, resets the
        // client: it sees the connection fail at once, as it would
        // without the proxy.
        if (events[UPSTREAM] != 0) {
            connection.connecting = false;
            if (connect_outcome(connection.fd[UPSTREAM], {}) != 0) {
                connection.end(true);
            }
        }
        return;
    }
    for (int direction : {UP, DOWN}) {
        if (events[direction] != 0 && !connection.closed && may_read(connection, direction)) {
            receive(connection, direction);
        }
    }
    for (int direction : {UP, DOWN}) {
        if (!connection.closed) {
            deliver(connection, direction);
        }
    }
    if (!connection.closed && connection.flows[UP].passed_end &&
        connection.flows[DOWN].passed_end) {
        connection.end(false);
    }
}

bool FaultProxy::may_read(const Connection &connection, int direction) const
{
    const Connection::Flow &flow = connection.flows[direction];
    return !stalled[direction] && !flow.read_end && flow.queued < QUEUE_LIMIT;
}

void FaultProxy::receive(Connection &connection, int direction)
{
    ssize_t got = recv(connection.fd[direction], buffer.data(), buffer.size(), 0);
    if (got < 0) {
        if (!transient(errno)) {
            connection.end(true);
        }
        return;
    }
    Connection::Flow &flow = connection.flows[direction];
    flow.chunks.push_back({Clock::now() + delay[direction],
        std::string(buffer.data(), static_cast<std::size_t>(got))});
    flow.queued += static_cast<std::size_t>(got);
    flow.read_end = got == 0;
}

void FaultProxy::deliver(Connection &connection, int direction)
{
    Connection::Flow &flow = connection.flows[direction];
    int target = connection.fd[1 - direction];
    Clock::time_point now = Clock::now();
    while (!flow.chunks.empty() && flow.chunks.front().release <= now) {
        Connection::Chunk &chunk = flow.chunks.front();
        if (chunk.bytes.empty()) {
            shutdown(target, SHUT_WR);
            flow.passed_end = true;
            flow.chunks.pop_front();
            continue;
        }
        ssize_t sent = send(target, chunk.bytes.data() + chunk.sent,
            chunk.bytes.size() - chunk.sent, MSG_NOSIGNAL);
        if (sent < 0) {
            if (errno == EINTR) {
                continue;
            }
            if (!transient(errno)) {
                connection.end(true);
            }
            return;
        }
        chunk.sent += static_cast<std::size_t>(sent);
        if (chunk.sent == chunk.bytes.size()) {
            flow.queued -= chunk.bytes.size();
            flow.chunks.pop_front();
        }
    }
}

// Read and dropped, so that a client leaving a black hole is noticed.
void FaultProxy::discard(Connection &connection)
{
    ssize_t got = recv(connection.fd[CLIENT], buffer.data(), buffer.size(), 0);
    if (got == 0 || (got < 0 && !transient(errno))) {
        connection.end(false);
    }
}
