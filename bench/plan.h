/*
 * What one run measures: the cells of the table, in the order they run.
 */
#ifndef TAVRIX_BENCH_PLAN_H
#define TAVRIX_BENCH_PLAN_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

enum class PublisherKind { PLUGIN, RAW, PUB_CLI, SINK_RUN };

const char *publisher_name(PublisherKind kind);

/* How a publisher reaches the broker: directly on loopback, through the
 * fault proxy's delay (to a broker of mosquitto's default in-flight
 * limit), or through a TLS listener on loopback. */
enum class Link { LOOPBACK, WAN, TLS };

/* The delay the WAN link adds in each direction. */
constexpr unsigned WAN_ONE_WAY_MS = 25;

const char *link_name(Link link);

/* QoS 1 and 2 publishes in flight at once: libmosquitto's own default
 * (mosquitto_pub's too), and what the plug-in uses unless configured. */
constexpr int LIBRARY_WINDOW = 20;
constexpr int PLUGIN_QOS1_WINDOW = 4096;
constexpr int PLUGIN_QOS2_WINDOW = 20;

struct CellSpec {
    PublisherKind kind;
    int qos;
    std::size_t size;
    int channels;
    uint64_t payloads;
    /* Payloads per second; 0 hands them over as fast as possible. */
    unsigned rate;
    /* Seconds the broker is stopped (SIGSTOP) once the first message has
     * arrived; the host then keeps its default queue bound and holds its
     * input back while the queue is full, as the runner does. */
    unsigned stall_seconds = 0;
    Link link = Link::LOOPBACK;
    /* The raw publisher's window; 0 leaves libmosquitto's own. */
    int window = 0;

    uint64_t messages() const { return payloads * static_cast<uint64_t>(channels); }
    bool paced() const { return rate != 0; }
    bool stalled() const { return stall_seconds != 0; }
    /* The window the publisher runs with; 0 at QoS 0, where none applies. */
    int Window() const;
    /* Publisher, link, window, QoS, size and channels: unique in a plan. */
    std::string Label() const;
};

/* The cells of a full run, or of a tiny one that only proves the
 * benchmark still works. `only` keeps the cells whose label contains it;
 * tavrix-sink-run's cells need `with_runner`. */
std::vector<CellSpec> make_plan(bool tiny, const std::string &only, bool with_runner);

#endif
