/*
 * A real MQTT subscriber (libmosquitto, its own network thread) that
 * records every message it gets, payload bytes included.
 */
#ifndef TAVRIX_TESTS_INTEGRATION_SUBSCRIBER_H
#define TAVRIX_TESTS_INTEGRATION_SUBSCRIBER_H

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

struct mosquitto;
struct mosquitto_message;

struct ReceivedMessage {
    std::string topic;
    std::string payload; // raw bytes, NULs included
    int qos;
    bool retain;

    bool operator==(const ReceivedMessage &other) const;
    bool operator<(const ReceivedMessage &other) const;
};

std::ostream &operator<<(std::ostream &out, const ReceivedMessage &message);

struct SubscriberLogin {
    std::string user;
    std::string pass;
};

class Subscriber
{
public:
    /* Connects to the broker on 127.0.0.1:`port` and subscribes to
     * `filter` at QoS 2; returns once the broker has confirmed the
     * subscription. Throws std::runtime_error when it cannot. */
    Subscriber(uint16_t port, const std::string &filter, const SubscriberLogin &login = {});
    ~Subscriber();

    Subscriber(const Subscriber &) = delete;
    Subscriber &operator=(const Subscriber &) = delete;

    std::vector<ReceivedMessage> messages() const;
    /* Waits until at least `count` messages have arrived; true if they did. */
    bool wait_for(std::size_t count,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;
    /* Waits for a message on `topic`; true if one arrived. */
    bool wait_for_topic(const std::string &topic,
        std::chrono::milliseconds limit = std::chrono::seconds(10)) const;

private:
    static void on_connect(struct mosquitto *, void *self, int rc);
    static void on_subscribe(struct mosquitto *, void *self, int, int, const int *);
    static void on_message(struct mosquitto *, void *self, const struct mosquitto_message *);

    std::string filter;
    struct mosquitto *client = nullptr;
    mutable std::mutex lock;
    mutable std::condition_variable changed;
    int connect_result = -1;
    bool subscribed = false;
    std::vector<ReceivedMessage> received;
};

/* libmosquitto's process-wide set-up for the subscribers, made once on the
 * main thread: the plug-in initialises the same library from the same
 * thread, and the library's init keeps unlocked global state. */
void subscriber_library_init();

#endif
