/*
 * The counting subscriber: the toolkit's subscriber (one libmosquitto
 * client on its own network thread), subscribed to a cell's topics at the
 * cell's QoS. It checks every message (topic, size, header, filler),
 * counts each (channel, sequence) pair once, and notes duplicates, what it
 * cannot place, and the delay from the payload's hand-over stamp to its
 * arrival.
 */
#ifndef TAVRIX_BENCH_COUNTING_SUBSCRIBER_H
#define TAVRIX_BENCH_COUNTING_SUBSCRIBER_H

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include <subscriber.h>

#include "payload.h"

struct DeliveryStats {
    uint64_t unique = 0;
    /* The same (channel, sequence) again: allowed at QoS 1 only. */
    uint64_t duplicates = 0;
    /* Wrong size, broken header or filler, unknown topic or sequence. */
    uint64_t corrupt = 0;
    int64_t first_ns = 0;
    int64_t last_ns = 0;
    /* Arrival minus hand-over, per unique message, in arrival order. */
    std::vector<int64_t> latencies_ns;
};

class CountingSubscriber : public MqttSubscriber
{
public:
    CountingSubscriber(int port, const std::string &id, int qos, int channels, uint64_t payloads,
        std::size_t size);
    ~CountingSubscriber() override;

    /* Connects and subscribes; true once the broker has acknowledged the
     * subscription. */
    bool Start(std::string &error);
    uint64_t Unique() const { return unique.load(std::memory_order_relaxed); }
    int64_t LastArrivalNs() const { return last_arrival.load(std::memory_order_relaxed); }
    /* Stops the network thread and hands over what was counted. */
    DeliveryStats Finish();

private:
    void on_message(const struct mosquitto_message &message) override;
    int ChannelOf(const char *topic) const;

    int port;
    std::string client_id;
    std::string prefix;
    int qos;
    int channels;
    uint64_t payloads;
    PayloadChecker checker;
    std::vector<std::string> channel_names;
    // Written by the network thread only; read by the caller after Finish.
    std::vector<uint8_t> seen;
    DeliveryStats stats;
    std::atomic<uint64_t> unique{0};
    std::atomic<int64_t> last_arrival{0};
};

#endif
