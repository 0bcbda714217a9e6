/*
 * A mosquitto broker of the test's own, on free loopback ports, with its
 * own configuration and a verbose log. It can be stopped and started
 * again on the same ports, as a broker restarted by its operator would be.
 */
#ifndef TAVRIX_TESTS_INTEGRATION_BROKER_H
#define TAVRIX_TESTS_INTEGRATION_BROKER_H

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>

#include "child_process.h"
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
    /* Makes the listener under test a TLS listener. */
    std::optional<BrokerTls> tls;
};

class Broker
{
public:
    /* Starts the broker; throws std::runtime_error when it does not come up. */
    explicit Broker(BrokerOptions options = {});
    ~Broker();

    Broker(const Broker &) = delete;
    Broker &operator=(const Broker &) = delete;

    /* The listener under test (TLS when configured). */
    uint16_t port() const { return main_port; }
    /* A plain listener for subscribers: the same as port() without TLS. */
    uint16_t subscriber_port() const { return plain_port; }

    void stop();
    /* Starts a stopped broker again, on the same ports. */
    void start();

    /* The broker's log so far, across restarts. */
    std::string log() const;
    /* How many times `text` occurs in the log. */
    std::size_t log_count(const std::string &text) const;
    bool wait_for_log(const std::string &text, std::size_t times = 1,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    void write_configuration();
    bool launch();

    BrokerOptions options;
    ScratchDir dir;
    uint16_t main_port = 0;
    uint16_t plain_port = 0;
    std::unique_ptr<ChildProcess> process;
};

/* A loopback port that nothing listens on at the moment of the call. */
uint16_t free_loopback_port();

#endif
