#include "subscriber.h"

#include <algorithm>
#include <stdexcept>
#include <thread>
#include <tuple>

#include <mosquitto.h>

namespace {

constexpr int KEEPALIVE = 30;
constexpr int LOOP_TIMEOUT_MS = 50;
constexpr auto READY_LIMIT = std::chrono::seconds(10);

std::string printable(const std::string &bytes)
{
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned char c : bytes) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            text.push_back(static_cast<char>(c));
        } else {
            text += "\\x";
            text.push_back(digits[c >> 4]);
            text.push_back(digits[c & 0xf]);
        }
    }
    return text;
}

} // namespace

void subscriber_library_init()
{
    static const bool initialised = [] {
        mosquitto_lib_init();
        return true;
    }();
    (void)initialised;
}

MqttSubscriber::~MqttSubscriber()
{
    stop();
}

template <typename Change> void MqttSubscriber::note(Change change)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        change();
    }
    changed.notify_all();
}

void MqttSubscriber::start_persistent(uint16_t port, const std::string &filter,
    const PersistentSession &session)
{
    reconnects = true;
    start(port, filter, session.qos, session.id);
}

void MqttSubscriber::start(uint16_t port, const std::string &filter, int qos_,
    const std::string &id, const SubscriberLogin &login)
{
    topic_filter = filter;
    qos = qos_;
    subscriber_library_init();
    // A persistent session is one the broker keeps: no clean session.
    client = mosquitto_new(id.empty() ? nullptr : id.c_str(), !reconnects, this);
    if (client == nullptr) {
        throw std::runtime_error("mosquitto_new failed");
    }
    mosquitto_connect_callback_set(client, [](struct mosquitto *mosq, void *self, int rc) {
        auto &subscriber = *static_cast<MqttSubscriber *>(self);
        subscriber.note([&] { subscriber.connect_result = rc; });
        if (rc == 0) {
            mosquitto_subscribe(mosq, nullptr, subscriber.topic_filter.c_str(), subscriber.qos);
        }
    });
    mosquitto_subscribe_callback_set(client,
        [](struct mosquitto *, void *self, int, int, const int *) {
            auto &subscriber = *static_cast<MqttSubscriber *>(self);
            subscriber.note([&] { subscriber.subscribed = true; });
        });
    mosquitto_message_callback_set(client,
        [](struct mosquitto *, void *self, const struct mosquitto_message *message) {
            static_cast<MqttSubscriber *>(self)->on_message(*message);
        });
    if (!login.user.empty()) {
        mosquitto_username_pw_set(client, login.user.c_str(), login.pass.c_str());
    }
    int rc = mosquitto_connect(client, "127.0.0.1", port, KEEPALIVE);
    if (rc != MOSQ_ERR_SUCCESS) {
        mosquitto_destroy(client);
        client = nullptr;
        throw std::runtime_error("subscriber: " + std::string(mosquitto_strerror(rc)));
    }
    stopping.store(false);
    network = std::thread(&MqttSubscriber::run_network, this);
    std::unique_lock<std::mutex> guard(lock);
    bool ready = changed.wait_for(guard, READY_LIMIT,
        [this] { return subscribed || connect_result > 0; });
    if (!ready || !subscribed) {
        guard.unlock();
        stop();
        throw std::runtime_error("subscriber could not subscribe to " + topic_filter);
    }
}

// libmosquitto's own network thread reconnects to a broker that went away
// and may miss a disconnect request meanwhile, so that it never ends; this
// one reconnects only for a persistent session, and ends within one loop
// call of a stop.
void MqttSubscriber::run_network()
{
    while (!stopping.load()) {
        if (mosquitto_loop(client, LOOP_TIMEOUT_MS, 1) != MOSQ_ERR_SUCCESS) {
            std::this_thread::sleep_for(std::chrono::milliseconds(LOOP_TIMEOUT_MS));
            if (reconnects) {
                mosquitto_reconnect(client);
            }
        }
    }
}

void MqttSubscriber::stop()
{
    if (client == nullptr) {
        return;
    }
    stopping.store(true);
    network.join();
    mosquitto_disconnect(client);
    mosquitto_destroy(client);
    client = nullptr;
}

bool ReceivedMessage::operator==(const ReceivedMessage &other) const
{
    return std::tie(topic, payload, qos, retain) ==
        std::tie(other.topic, other.payload, other.qos, other.retain);
}

std::ostream &operator<<(std::ostream &out, const ReceivedMessage &message)
{
    return out << "{" << message.topic << ", \"" << printable(message.payload)
               << "\", qos " << message.qos << (message.retain ? ", retained}" : "}");
}

Subscriber::Subscriber(uint16_t port, const std::string &filter, const SubscriberLogin &login)
{
    start(port, filter, 2, "", login);
}

Subscriber::Subscriber(uint16_t port, const std::string &filter,
    const PersistentSession &session)
{
    start_persistent(port, filter, session);
}

Subscriber::~Subscriber()
{
    stop();
}

void Subscriber::on_message(const struct mosquitto_message &message)
{
    ReceivedMessage copy{message.topic, std::string(), message.qos, message.retain};
    if (message.payloadlen > 0) {
        copy.payload.assign(static_cast<const char *>(message.payload),
            static_cast<std::size_t>(message.payloadlen));
    }
    {
        std::lock_guard<std::mutex> guard(lock);
        received.push_back(std::move(copy));
    }
    changed.notify_all();
}

std::vector<ReceivedMessage> Subscriber::messages() const
{
    std::lock_guard<std::mutex> guard(lock);
    return received;
}

std::set<std::string> Subscriber::distinct_payloads() const
{
    std::lock_guard<std::mutex> guard(lock);
    std::set<std::string> payloads;
    for (const ReceivedMessage &message : received) {
        payloads.insert(message.payload);
    }
    return payloads;
}

bool Subscriber::wait_for(std::size_t count, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, limit, [&] { return received.size() >= count; });
}

bool Subscriber::wait_for_topic(const std::string &topic, std::chrono::milliseconds limit) const
{
    std::unique_lock<std::mutex> guard(lock);
    return changed.wait_for(guard, limit, [&] {
        return std::any_of(received.begin(), received.end(),
            [&](const ReceivedMessage &message) { return message.topic == topic; });
    });
}
