#include "fault_proxy.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <stdexcept>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

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
constexpr int FILLER_WAIT_MS = 200;
constexpr std::size_t MAX_FILLERS = 4;

std::string errno_text(const std::string &what)
{
    return what + ": " + std::strerror(errno);
}

sockaddr_in loopback(uint16_t port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

int loopback_socket()
{
    return socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
}

/* 0 when connected, EINPROGRESS when under way, else the error. */
int start_connect(int fd, uint16_t port)
{
    sockaddr_in address = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) {
        return 0;
    }
    return errno;
}

bool connected_within(int fd, int timeout_ms)
{
    pollfd watched{fd, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    return poll(&watched, 1, timeout_ms) == 1 &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

uint16_t local_port(int fd)
{
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

// An RST rather than a FIN: the peer learns of the end at once, not after
// whatever it still had to send.
void reset(int fd)
{
    if (fd == -1) {
        return;
    }
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

struct FaultProxy::Connection {
    struct Chunk {
        Clock::time_point release;
        std::string bytes;
        std::size_t sent = 0;
        // The source's end of data, passed on as a FIN in its turn.
        bool end = false;
    };
    struct Flow {
        std::deque<Chunk> chunks;
        std::size_t queued = 0;
        bool read_end = false;
        bool passed_end = false;
    };

    int source(int direction) const { return direction == UP ? client : upstream; }
    int target(int direction) const { return direction == UP ? upstream : client; }

    void end(bool abort)
    {
        for (int fd : {client, upstream}) {
            if (abort) {
                reset(fd);
            } else if (fd != -1) {
                close(fd);
            }
        }
        client = upstream = -1;
        closed = true;
    }

    int client = -1;
    int upstream = -1;
    bool connecting = false;
    bool black_holed = false;
    bool closed = false;
    Flow flows[2];
    // Where its sockets are in this round's poll set; -1 when not there.
    int client_slot = -1;
    int upstream_slot = -1;
};

FaultProxy::FaultProxy(uint16_t upstream) : upstream_port(upstream), buffer(READ_SIZE)
{
    auto fail = [this](const std::string &what) {
        std::string text = errno_text(what);
        for (int fd : {listener, wake_read, wake_write}) {
            if (fd != -1) {
                close(fd);
            }
        }
        throw std::runtime_error("fault proxy: " + text);
    };
    int ends[2];
    if (pipe(ends) != 0) {
        fail("pipe");
    }
    wake_read = ends[0];
    wake_write = ends[1];
    for (int fd : ends) {
        fcntl(fd, F_SETFL, O_NONBLOCK);
        fcntl(fd, F_SETFD, FD_CLOEXEC);
    }
    listener = loopback_socket();
    if (listener == -1) {
        fail("socket");
    }
    sockaddr_in address = loopback(0);
    if (bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        fail("bind");
    }
    if (listen(listener, SOMAXCONN) != 0) {
        fail("listen");
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
    change([&](Controls &controls) {
        controls.delay[UP] = to_upstream;
        controls.delay[DOWN] = to_client;
    });
}

void FaultProxy::black_hole(bool on)
{
    change([&](Controls &controls) { controls.black_hole = on; });
}

void FaultProxy::silent(bool on)
{
    change([&](Controls &controls) { controls.silent = on; });
}

void FaultProxy::cut()
{
    change([](Controls &controls) { ++controls.cuts; });
}

void FaultProxy::stall(Direction direction, bool on)
{
    change([&](Controls &controls) { controls.stalled[static_cast<int>(direction)] = on; });
}

// The proxy thread applies the change; the caller returns once it has, so
// that a test may connect, send or assert right after.
template <typename Edit> void FaultProxy::change(Edit edit)
{
    std::unique_lock<std::mutex> held(lock);
    edit(wanted);
    uint64_t ticket = ++requested;
    (void)!write(wake_write, "x", 1);
    applied_changed.wait(held, [&] { return applied >= ticket; });
    if (!failure.empty()) {
        std::string what = std::move(failure);
        failure.clear();
        throw std::runtime_error("fault proxy: " + what);
    }
}

void FaultProxy::run()
{
    std::vector<pollfd> polled;
    for (;;) {
        Clock::time_point now = Clock::now();
        polled.clear();
        polled.push_back({wake_read, POLLIN, 0});
        polled.push_back({current.silent ? -1 : listener, POLLIN, 0});
        int timeout = -1;
        for (auto &connection : connections) {
            int wait = watch(*connection, polled, now);
            if (wait >= 0 && (timeout < 0 || wait < timeout)) {
                timeout = wait;
            }
        }
        poll(polled.data(), polled.size(), timeout);
        if (polled[0].revents != 0 && !take_controls()) {
            return;
        }
        for (auto &connection : connections) {
            serve(*connection, polled);
        }
        if (polled[1].revents != 0 && !current.silent) {
            accept_waiting({});
        }
        sweep();
    }
}

bool FaultProxy::take_controls()
{
    char drained[64];
    while (read(wake_read, drained, sizeof drained) > 0) {
    }
    Controls next;
    uint64_t ticket = 0;
    {
        std::lock_guard<std::mutex> held(lock);
        if (stopping) {
            return false;
        }
        next = wanted;
        ticket = requested;
    }
    std::string error;
    if (next.silent != current.silent) {
        try {
            apply_silence(next.silent);
        } catch (const std::exception &e) {
            error = e.what();
            apply_silence(false);
            next.silent = false;
        }
    }
    if (next.cuts != current.cuts) {
        for (auto &connection : connections) {
            connection->end(true);
        }
    }
    current = next;
    sweep();
    {
        std::lock_guard<std::mutex> held(lock);
        if (!error.empty()) {
            wanted.silent = current.silent;
        }
        applied = ticket;
        failure = error;
    }
    applied_changed.notify_all();
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
        int fd = loopback_socket();
        if (fd == -1) {
            throw std::runtime_error(errno_text("socket"));
        }
        fillers.push_back(fd);
        int result = start_connect(fd, listen_port);
        if (result != 0 && result != EINPROGRESS) {
            throw std::runtime_error("connect to the listener: " + std::string(strerror(result)));
        }
        bool connected = result == 0 || connected_within(fd, FILLER_WAIT_MS);
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
    connection->client = client;
    connection->black_holed = current.black_hole;
    if (!connection->black_holed) {
        int upstream = loopback_socket();
        int result = upstream == -1 ? errno : start_connect(upstream, upstream_port);
        connection->upstream = upstream;
        if (result != 0 && result != EINPROGRESS) {
            connection->end(true);
            return;
        }
        connection->connecting = result == EINPROGRESS;
        no_delay(connection->upstream);
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
    connection.client_slot = connection.upstream_slot = -1;
    if (connection.closed) {
        return -1;
    }
    short events[2] = {0, 0}; // client, upstream
    int timeout = -1;
    if (connection.black_holed) {
        events[0] = POLLIN;
    } else if (connection.connecting) {
        events[1] = POLLOUT;
    } else {
        for (int direction : {UP, DOWN}) {
            // The source of UP is the client, its target the upstream.
            int source = direction == UP ? 0 : 1;
            if (may_read(connection, direction)) {
                events[source] |= POLLIN;
            }
            const auto &chunks = connection.flows[direction].chunks;
            if (chunks.empty()) {
                continue;
            }
            if (chunks.front().release <= now) {
                events[1 - source] |= POLLOUT;
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
    if (events[0] != 0) {
        connection.client_slot = static_cast<int>(polled.size());
        polled.push_back({connection.client, events[0], 0});
    }
    if (events[1] != 0) {
        connection.upstream_slot = static_cast<int>(polled.size());
        polled.push_back({connection.upstream, events[1], 0});
    }
    return timeout;
}

void FaultProxy::serve(Connection &connection, const std::vector<pollfd> &polled)
{
    if (connection.closed) {
        return;
    }
    short client_events = connection.client_slot < 0 ? 0 : polled[connection.client_slot].revents;
    short upstream_events =
        connection.upstream_slot < 0 ? 0 : polled[connection.upstream_slot].revents;
    if (connection.black_holed) {
        if (client_events != 0) {
            discard(connection);
        }
        return;
    }
    if (connection.connecting) {
        if (upstream_events != 0) {
            finish_connect(connection);
        }
        return;
    }
    if (client_events != 0 && may_read(connection, UP)) {
        receive(connection, UP);
    }
    if (upstream_events != 0 && !connection.closed && may_read(connection, DOWN)) {
        receive(connection, DOWN);
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
    return !current.stalled[direction] && !flow.read_end && flow.queued < QUEUE_LIMIT;
}

void FaultProxy::receive(Connection &connection, int direction)
{
    ssize_t got = recv(connection.source(direction), buffer.data(), buffer.size(), 0);
    if (got < 0) {
        if (!transient(errno)) {
            connection.end(true);
        }
        return;
    }
    Connection::Flow &flow = connection.flows[direction];
    Connection::Chunk chunk;
    chunk.release = Clock::now() + current.delay[direction];
    if (got == 0) {
        chunk.end = true;
        flow.read_end = true;
    } else {
        chunk.bytes.assign(buffer.data(), static_cast<std::size_t>(got));
        flow.queued += chunk.bytes.size();
    }
    flow.chunks.push_back(std::move(chunk));
}

void FaultProxy::deliver(Connection &connection, int direction)
{
    Connection::Flow &flow = connection.flows[direction];
    int target = connection.target(direction);
    Clock::time_point now = Clock::now();
    while (!flow.chunks.empty() && flow.chunks.front().release <= now) {
        Connection::Chunk &chunk = flow.chunks.front();
        if (chunk.end) {
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

// A refused upstream, as when the broker is down, resets the client: it
// sees the connection fail at once, as it would without the proxy.
void FaultProxy::finish_connect(Connection &connection)
{
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(connection.upstream, SOL_SOCKET, SO_ERROR, &error, &length) != 0 ||
        error != 0) {
        connection.end(true);
        return;
    }
    connection.connecting = false;
}

// Read and dropped, so that a client leaving a black hole is noticed.
void FaultProxy::discard(Connection &connection)
{
    ssize_t got = recv(connection.client, buffer.data(), buffer.size(), 0);
    if (got == 0 || (got < 0 && !transient(errno))) {
        connection.end(false);
    }
}
