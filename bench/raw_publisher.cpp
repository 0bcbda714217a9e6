/*
 * The library's own ceiling for the plug-in's design: one libmosquitto
 * client in threaded mode, driven by a pass like the plug-in's worker's
 * (publish, select on the socket for at most a second, loop_read,
 * loop_write), with none of the plug-in's own work: no host queue, no
 * payload copy, no bound on what it hands the library, topics made once.
 * Its in-flight window is libmosquitto's own unless the cell gives one; on
 * a TLS link it trusts the cell's CA, as the plug-in does.
 */
#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include <sys/select.h>

#include <mosquitto.h>

#include "bench.h"

namespace {

constexpr int KEEPALIVE = 15;
constexpr auto CONNECT_TIMEOUT = std::chrono::seconds(15);

void on_connect(struct mosquitto *, void *user_data, int rc)
{
    if (rc == 0) {
        static_cast<std::atomic<bool> *>(user_data)->store(true);
    }
}

/* One select (waiting up to `wait`) and the loop calls it calls for; a
 * non-zero result is the library's error. */
int pump(struct mosquitto *mosq, std::chrono::microseconds wait = std::chrono::seconds(1))
{
    int socket = mosquitto_socket(mosq);
    if (socket < 0 || socket >= FD_SETSIZE) {
        return MOSQ_ERR_NO_CONN;
    }
    fd_set read_set, write_set;
    FD_ZERO(&read_set);
    FD_ZERO(&write_set);
    FD_SET(socket, &read_set);
    if (mosquitto_want_write(mosq)) {
        FD_SET(socket, &write_set);
    }
    struct timeval timeout = {static_cast<time_t>(wait.count() / 1000000),
        static_cast<suseconds_t>(wait.count() % 1000000)};
    int ready = select(socket + 1, &read_set, &write_set, nullptr, &timeout);
    if (ready < 0) {
        return errno == EINTR ? MOSQ_ERR_SUCCESS : MOSQ_ERR_ERRNO;
    }
    if (ready == 0) {
        return mosquitto_loop_misc(mosq);
    }
    if (FD_ISSET(socket, &read_set)) {
        int rc = mosquitto_loop_read(mosq, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            return rc;
        }
    }
    if (FD_ISSET(socket, &write_set)) {
        return mosquitto_loop_write(mosq, 1);
    }
    return MOSQ_ERR_SUCCESS;
}

/* Each payload published to every channel as soon as it is stamped: all
 * at once (the plug-in hands the library no more than its in-flight target
 * and its bound on unconfirmed bytes allow), or at each of a paced cell's
 * instants with the loop pumping between them, the library's own latency
 * with the plug-in's kind of loop. */
int publish_cell(struct mosquitto *mosq, const CellSpec &cell,
    const std::vector<std::string> &topics)
{
    int rc = MOSQ_ERR_SUCCESS;
    auto pump_until = [mosq, &rc](int64_t due) {
        for (int64_t now; rc == MOSQ_ERR_SUCCESS && due != 0 && (now = bench_now_ns()) < due;) {
            rc = pump(mosq,
                std::chrono::microseconds(std::min<int64_t>((due - now) / 1000 + 1, 1000000)));
        }
        return rc == MOSQ_ERR_SUCCESS;
    };
    auto publish = [mosq, &cell, &topics, &rc](const char *data, std::size_t size) {
        for (std::size_t i = 0; i < topics.size() && rc == MOSQ_ERR_SUCCESS; ++i) {
            rc = mosquitto_publish(mosq, nullptr, topics[i].c_str(), static_cast<int>(size), data,
                cell.qos, false);
        }
        return rc == MOSQ_ERR_SUCCESS;
    };
    report_line("t0 " + std::to_string(hand_over_payloads(cell, pump_until, publish)));
    if (rc == MOSQ_ERR_SUCCESS) {
        report_line("sent " + std::to_string(cell.payloads));
    }
    return rc;
}

int publish(struct mosquitto *mosq, const PublisherArgs &args, const std::atomic<bool> &connected)
{
    // What the plug-in sets up on every initialise, as far as the cell asks
    // for it.
    int rc = args.cell.raw_window == 0
        ? MOSQ_ERR_SUCCESS
        : mosquitto_int_option(mosq, MOSQ_OPT_SEND_MAXIMUM, args.cell.raw_window);
    if (rc == MOSQ_ERR_SUCCESS && !args.ca_file.empty()) {
        rc = mosquitto_tls_set(mosq, args.ca_file.c_str(), nullptr, nullptr, nullptr, nullptr);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        return role_failed(std::string("set-up: ") + mosquitto_strerror(rc));
    }
    rc = mosquitto_connect(mosq, "127.0.0.1", args.port, KEEPALIVE);
    const auto deadline = std::chrono::steady_clock::now() + CONNECT_TIMEOUT;
    while (rc == MOSQ_ERR_SUCCESS && !connected.load()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return role_failed("connect: no CONNACK");
        }
        rc = pump(mosq);
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        return role_failed(std::string("connect: ") + mosquitto_strerror(rc));
    }
    std::vector<std::string> topics;
    for (int channel = 0; channel < args.cell.channels; ++channel) {
        topics.push_back(cell_topic_prefix(args.id) + "/" + channel_name(channel));
    }
    std::atomic<bool> stop{false};
    std::thread stopper([&stop] {
        wait_for_stop();
        stop.store(true);
    });
    rc = publish_cell(mosq, args.cell, topics);
    while (rc == MOSQ_ERR_SUCCESS && !stop.load()) {
        rc = pump(mosq);
    }
    // Told before waiting for the stop, so the parent need not wait out
    // its stall time-out.
    int status =
        rc == MOSQ_ERR_SUCCESS ? 0 : role_failed(std::string("publish: ") + mosquitto_strerror(rc));
    stopper.join();
    mosquitto_disconnect(mosq);
    return status;
}

} // namespace

int run_raw_publisher(const PublisherArgs &args)
{
    mosquitto_lib_init();
    std::atomic<bool> connected{false};
    const std::string id = client_id_of(args.cell.kind, args.id);
    struct mosquitto *mosq = mosquitto_new(id.c_str(), true, &connected);
    if (mosq == nullptr) {
        return role_failed("mosquitto_new failed");
    }
    mosquitto_connect_callback_set(mosq, on_connect);
    mosquitto_threaded_set(mosq, true);
    int status = publish(mosq, args, connected);
    mosquitto_destroy(mosq);
    mosquitto_lib_cleanup();
    return status;
}
