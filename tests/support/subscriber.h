/*
 * Real MQTT subscribers (libmosquitto, a network thread of their own): a base
 * that connects, subscribes and hands every message to its subclass, and
 * one that records every message it gets, payload bytes included.
 */
#ifndef TAVRIX_TESTS_SUPPORT_SUBSCRIBER_H
#define TAVRIX_TESTS_SUPPORT_SUBSCRIBER_H

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;

struct SubscriberLogin {
    std::string user;
    std::string pass;
};

class MqttSubscriber
{
public:
    virtual ~MqttSubscriber();

    MqttSubscriber(const MqttSubscriber &) = delete;
    MqttSubscriber &operator=(const MqttSubscriber &) = delete;

protected:
    MqttSubscriber() = default;

    /* Connects to 127.0.0.1:`port` as `id` (empty: a random id) and
     * subscribes to `filter` at `qos`; returns once the broker has
     * confirmed the subscription. Throws std::runtime_error. Messages reach
     * on_message from then on, on the network thread. */
    void start(uint16_t port, const std::string &filter, int qos, const std::string &id = "",
        const SubscriberLogin &login = {});
    /* Disconnects and ends the network thread; a subclass calls it in its
     * destructor, before its own members go. */
    void stop();

    virtual void on_message(const struct mosquitto_message &message) = 0;

private:
    static void on_connect(struct mosquitto *, void *self, int rc);
    static void on_subscribe(struct mosquitto *, void *self, int, int, const int *);
    static void on_message_arrived(struct mosquitto *, void *self,
        const struct mosquitto_message *message);
    void run_network();

    std::string topic_filter;
    int qos = 0;
    struct mosquitto *client = nullptr;
    std::thread network;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::condition_variable changed;
    int connect_result = -1;
    bool subscribed = false;
};

struct ReceivedMessage {
    std::string topic;
    std::string payload; // raw bytes, NULs included
    int qos;
    bool retain;

    bool operator==(const ReceivedMessage &other) const;
    bool operator<(const ReceivedMessage &other) const;
};

std::ostream &operator<<(std::ostream &out, const ReceivedMessage &message);

/* Records what arrives, subscribed at QoS 2. */
class Subscriber : public MqttSubscriber
{
public:
    Subscriber(uint16_t port, const std::string &filter, const SubscriberLogin &login = {});
    ~Subscriber() override;

    std::vector<ReceivedMessage> messages() const;
    /* Waits until at least `count` messages have arrived; true if they did. */
    bool wait_for(std::size_t count,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    /* Waits for a message on `topic`; true if one arrived. */
    bool wait_for_topic(const std::string &topic,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    void on_message(const struct mosquitto_message &message) override;

    mutable std::mutex lock;
    mutable std::condition_variable changed;
    std::vector<ReceivedMessage> received;
};

/* libmosquitto's process-wide set-up for the subscribers, made once on the
 * main thread: the plug-in initialises the same library from the same
 * thread, and the library's init keeps unlocked global state. */
void subscriber_library_init();

#endif
