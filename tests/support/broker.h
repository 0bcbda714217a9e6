/*
 * A mosquitto broker of the caller's own, on a loopback port the kernel
 * picked, with its own configuration and log. It can be stopped and
 * started again on the same port, as a broker restarted by its operator
 * would be. The broker program is the one CMake found.
 */
#ifndef TAVRIX_TESTS_SUPPORT_BROKER_H
#define TAVRIX_TESTS_SUPPORT_BROKER_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "posix_io.h"
#include "scratch_dir.h"

/* The TLS side of the listener under test. */
struct BrokerTls {
    std::string ca_file;
    std::string cert_file;
    std::string key_file;
    /* Clients must present a certificate signed by `ca_file`. */
    bool require_certificate = false;
};

struct BrokerOptions {
    /* User name to password; when not empty, anonymous clients are refused. */
    std::map<std::string, std::string> users;
    /* Makes the listener under test a TLS listener, beside a plain one. */
    std::optional<BrokerTls> tls;
    /* Every packet in the log; otherwise only connections, subscriptions
     * and problems, which costs the broker nothing measurable. */
    bool log_packets = true;
    /* Keeps sessions, subscriptions and queued messages across a graceful
     * restart (mosquitto's persistence, in its directory). */
    bool persistent = false;
    /* Configuration lines appended as given. */
    std::vector<std::string> extra_lines;
    /* Where its files go (kept); empty: a scratch directory of its own. */
    std::string dir;
};

/* A broker whose log tells of connections, subscriptions and problems only. */
BrokerOptions quiet_broker();

class Broker
{
public:
    /* Starts the broker; throws std::runtime_error when it does not come up. */
    explicit Broker(BrokerOptions options = {});

    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    /* The listener under test (TLS when configured). */
    uint16_t port() const { return main_port; }
    /* A plain listener for subscribers: the same as port() without TLS. */
    uint16_t subscriber_port() const { return plain_port; }
    /* The broker's process id; -1 while it is stopped. */
    pid_t pid() const { return process ? process->pid() : -1; }
    const std::string &dir() const { return path; }

    /* Stops (and resumes) the process without ending it: a broker that
     * reads, writes and answers nothing, as one whose host hangs. Stopping
     * a paused broker ends it at once. */
    void pause();
    void resume();

    void stop() { process.reset(); }
    /* Starts a stopped broker again on the same ports, with `more_lines`
     * added to its configuration. */
    void start(const std::vector<std::string> &more_lines = {});

    /* The broker's log so far, across restarts. */
    std::string log() const;
    std::string log_path() const;
    /* How many times `text` occurs in the log. */
    std::size_t log_count(const std::string &text) const;
    bool wait_for_log(const std::string &text, std::size_t times = 1,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    void write_passwords();
    void write_configuration(const std::vector<std::string> &more_lines);
    bool launch();

    BrokerOptions options;
    std::unique_ptr<ScratchDir> scratch;
    std::string path;
    uint16_t main_port = 0;
    uint16_t plain_port = 0;
    // Last, so that the broker is stopped before its directory goes.
    std::unique_ptr<ChildProcess> process;
};

#endif
