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
#include <set>
#include <string>
#include <thread>
#include <vector>

struct mosquitto;
struct mosquitto_message;

struct SubscriberLogin {
    std::string user;
    std::string pass;
};

/* A session the broker keeps while the subscriber is away (clean session
 * off, under a fixed id): with a broker that persists its state, messages
 * published while either of them was down arrive once both are back. The
 * subscriber reconnects on its own. */
struct PersistentSession {
    std::string id;
    int qos = 1;
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
    /* As start, with a session the broker keeps (see PersistentSession). */
    void start_persistent(uint16_t port, const std::string &filter,
        const PersistentSession &session);
    /* Disconnects and ends the network thread; a subclass calls it in its
     * destructor, before its own members go. */
    void stop();

    virtual void on_message(const struct mosquitto_message &message) = 0;

private:
    /* Records what the network thread learnt, for start to wait on. */
    template <typename Change> void note(Change change);
    void run_network();

    std::string topic_filter;
    int qos = 0;
    bool reconnects = false;
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
};

std::ostream &operator<<(std::ostream &out, const ReceivedMessage &message);

/* Records what arrives, subscribed at QoS 2. */
class Subscriber : public MqttSubscriber
{
public:
    Subscriber(uint16_t port, const std::string &filter, const SubscriberLogin &login = {});
    Subscriber(uint16_t port, const std::string &filter, const PersistentSession &session);
    ~Subscriber() override;

    std::vector<ReceivedMessage> messages() const;
    /* The payloads received, each once, whatever came twice. */
    std::set<std::string> distinct_payloads() const;
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
