/*
 * A TCP proxy on loopback between a client under test and a real broker,
 * playing the faults of the path between them: latency, a black hole
 * behind a port that accepts, a port whose SYNs are dropped, cuts and
 * stalls. For the integration tests, the benchmark and, through
 * tavrix-test-proxy, the shell tests. A thread of its own runs a poll()
 * loop; the control methods may be called from any thread, and each has
 * taken effect when it returns.
 */
#ifndef TAVRIX_TESTS_SUPPORT_FAULT_PROXY_H
#define TAVRIX_TESTS_SUPPORT_FAULT_PROXY_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <future>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

struct pollfd;

class FaultProxy
{
public:
    enum class Direction { TO_UPSTREAM, TO_CLIENT };

    /* Listens on 127.0.0.1 at a port the kernel picks and forwards every
     * connection to 127.0.0.1:`upstream_port`; throws std::runtime_error. */
    explicit FaultProxy(uint16_t upstream_port);
    ~FaultProxy();

    FaultProxy(const FaultProxy &) = delete;
    FaultProxy &operator=(const FaultProxy &) = delete;

    uint16_t port() const { return listen_port; }

    /* Data read from now on is passed on no earlier than its arrival plus
     * the delay of its direction: a latency, not a bandwidth limit. */
    void set_delay(std::chrono::milliseconds to_upstream, std::chrono::milliseconds to_client);
    /* Connections accepted while on get nothing from either side and reach
     * no broker: the connect succeeds, no answer ever comes. They stay so
     * after it is turned off; earlier connections are not touched. */
    void black_hole(bool on);
    /* While on, a connect to port() hangs unanswered, as when a firewall
     * drops the SYNs (Linux: the listening queue is kept full). The port
     * stays the same. Throws std::runtime_error when the queue cannot be
     * filled. */
    void silent(bool on);
    /* Resets every proxied connection, both sides, at once. */
    void cut();
    /* While on, nothing is read from the sending side of `direction`, so
     * its sender is held back by TCP; what was read is still passed on. */
    void stall(Direction direction, bool on);

    /* Connections accepted so far, and those proxied now. */
    std::size_t accepted() const { return accepted_count.load(); }
    std::size_t open() const { return open_count.load(); }

private:
    struct Connection;

    /* Has the proxy thread run `edit` and waits for it; what it throws is
     * thrown here. */
    template <typename Edit> void change(Edit edit);
    void run();
    bool run_changes();
    void apply_silence(bool on);
    void fill_listening_queue();
    void accept_waiting(const std::vector<uint16_t> &filler_ports);
    void admit(int client);
    void sweep();
    int watch(Connection &connection, std::vector<pollfd> &polled,
        std::chrono::steady_clock::time_point now);
    void serve(Connection &connection, const std::vector<pollfd> &polled);
    bool may_read(const Connection &connection, int direction) const;
    void receive(Connection &connection, int direction);
    void deliver(Connection &connection, int direction);
    void discard(Connection &connection);

    const uint16_t upstream_port;
    uint16_t listen_port = 0;
    int listener = -1;
    int wake_read = -1;
    int wake_write = -1;

    std::mutex lock;
    std::vector<std::packaged_task<void()>> changes;
    bool stopping = false;

    // The proxy thread's own: the faults in force, and what it proxies.
    std::chrono::milliseconds delay[2] = {};
    bool black_holing = false;
    bool silenced = false;
    bool stalled[2] = {};
    std::vector<int> fillers;
    std::vector<std::unique_ptr<Connection>> connections;
    std::vector<char> buffer;

    std::atomic<std::size_t> accepted_count{0};
    std::atomic<std::size_t> open_count{0};
    std::thread worker;
};

#endif
