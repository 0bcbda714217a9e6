#include "counting_subscriber.h"

#include <chrono>
#include <cstring>

#include <mosquitto.h>

#include "clock.h"
#include "publisher_args.h"

CountingSubscriber::CountingSubscriber(int port_, const std::string &id, int qos_, int channels_,
    uint64_t payloads_, std::size_t size)
    : port(port_),
      client_id("sub-" + id),
      prefix(cell_topic_prefix(id) + "/"),
      qos(qos_),
      channels(channels_),
      payloads(payloads_),
      checker(size),
      seen(payloads_ * static_cast<uint64_t>(channels_), 0)
{
    for (int channel = 0; channel < channels; ++channel) {
        channel_names.push_back(channel_name(channel));
    }
    stats.latencies_ns.reserve(seen.size());
}

CountingSubscriber::~CountingSubscriber()
{
    stop();
}

bool CountingSubscriber::Start(std::string &error)
{
    try {
        start(static_cast<uint16_t>(port), prefix + "#", qos, client_id);
    } catch (const std::exception &e) {
        error = std::string("subscriber: ") + e.what();
        return false;
    }
    return true;
}

DeliveryStats CountingSubscriber::Finish()
{
    stop();
    return stats;
}

int CountingSubscriber::ChannelOf(const char *topic) const
{
    if (std::strncmp(topic, prefix.data(), prefix.size()) != 0) {
        return -1;
    }
    for (int channel = 0; channel < channels; ++channel) {
        if (channel_names[static_cast<std::size_t>(channel)] == topic + prefix.size()) {
            return channel;
        }
    }
    return -1;
}

void CountingSubscriber::on_message(const struct mosquitto_message &message_)
{
    const struct mosquitto_message *message = &message_;
    int64_t arrival = bench_now_ns();
    PayloadHeader header;
    int channel = ChannelOf(message->topic);
    if (channel < 0 || message->payloadlen < 0 ||
        !checker.Check(message->payload, static_cast<std::size_t>(message->payloadlen), header) ||
        header.seq >= payloads) {
        ++stats.corrupt;
        return;
    }
    uint8_t &mark = seen[static_cast<uint64_t>(channel) * payloads + header.seq];
    if (mark != 0) {
        ++stats.duplicates;
        return;
    }
    mark = 1;
    if (stats.unique == 0) {
        stats.first_ns = arrival;
    }
    ++stats.unique;
    stats.last_ns = arrival;
    stats.latencies_ns.push_back(arrival - header.stamp_ns);
    unique.store(stats.unique, std::memory_order_relaxed);
    last_arrival.store(arrival, std::memory_order_relaxed);
}
