#include "subscriber.h"

#include <chrono>
#include <cstring>

#include <mosquitto.h>

#include "clock.h"
#include "publisher_args.h"

namespace {

constexpr auto SUBSCRIBE_TIMEOUT = std::chrono::seconds(10);
constexpr int KEEPALIVE = 60;

CountingSubscriber &subscriber_of(void *user_data)
{
    return *static_cast<CountingSubscriber *>(user_data);
}

void on_subscribe(struct mosquitto *, void *user_data, int, int, const int *)
{
    subscriber_of(user_data).OnSubscribed();
}

void on_message(struct mosquitto *, void *user_data, const struct mosquitto_message *message)
{
    subscriber_of(user_data).OnMessage(message);
}

} // namespace

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
    Finish();
    if (mosq != nullptr) {
        mosquitto_destroy(mosq);
    }
}

bool CountingSubscriber::Start(std::string &error)
{
    mosq = mosquitto_new(client_id.c_str(), true, this);
    if (mosq == nullptr) {
        error = "subscriber: mosquitto_new failed";
        return false;
    }
    mosquitto_subscribe_callback_set(mosq, on_subscribe);
    mosquitto_message_callback_set(mosq, on_message);
    int rc = mosquitto_connect(mosq, "127.0.0.1", port, KEEPALIVE);
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_subscribe(mosq, nullptr, (prefix + "#").c_str(), qos);
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        rc = mosquitto_loop_start(mosq);
        loop_running = rc == MOSQ_ERR_SUCCESS;
    }
    if (rc != MOSQ_ERR_SUCCESS) {
        error = std::string("subscriber: ") + mosquitto_strerror(rc);
        return false;
    }
    std::unique_lock<std::mutex> guard(subscribed_lock);
    if (!subscribed_changed.wait_for(guard, SUBSCRIBE_TIMEOUT, [this] { return subscribed; })) {
        error = "subscriber: no SUBACK from the broker";
        return false;
    }
    return true;
}

DeliveryStats CountingSubscriber::Finish()
{
    if (loop_running) {
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, false);
        loop_running = false;
    }
    return stats;
}

void CountingSubscriber::OnSubscribed()
{
    {
        std::lock_guard<std::mutex> guard(subscribed_lock);
        subscribed = true;
    }
    subscribed_changed.notify_all();
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

void CountingSubscriber::OnMessage(const struct mosquitto_message *message)
{
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
