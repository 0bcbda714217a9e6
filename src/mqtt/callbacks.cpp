/*
 * libmosquitto's callbacks. They run inside the worker's own loop calls,
 * so they touch the instance without a lock.
 */
#include "callbacks.h"

#include <mosquitto.h>

#include "asp_plugin.h"
#include "broker_limits.h"
#include "log_safely.h"

namespace {

aspPlugin &instance_of(void *user_data)
{
    return *static_cast<aspPlugin *>(user_data);
}

void mq_on_connect(struct mosquitto *, void *user_data, int rc)
{
    aspPlugin &plugin = instance_of(user_data);
    log_safely([&] {
        ag_dprintf("%s: on_connect: %d: %s\n", plugin.GetTag().c_str(), rc, mosquitto_strerror(rc));
    });
    plugin.mqOnConnect(rc);
}

void mq_on_disconnect(struct mosquitto *, void *user_data, int rc)
{
    aspPlugin &plugin = instance_of(user_data);
    log_safely([&] {
        ag_dprintf("%s: on_disconnect: %d: %s\n", plugin.GetTag().c_str(), rc,
            mosquitto_strerror(rc));
    });
    plugin.mqOnDisconnect(rc);
}

void mq_on_publish(struct mosquitto *, void *user_data, int mid)
{
    instance_of(user_data).mqOnPublish(mid, 0);
}

// MQTT 5: a CONNACK's code is a reason code, and its properties say what
// the broker takes.
void mq_on_connect_v5(struct mosquitto *, void *user_data, int rc, int,
    const mosquitto_property *properties)
{
    aspPlugin &plugin = instance_of(user_data);
    log_safely([&] {
        ag_dprintf("%s: on_connect: %d: %s\n", plugin.GetTag().c_str(), rc,
            mosquitto_reason_string(rc));
    });
    plugin.mqOnConnect(rc);
    log_safely([&] { plugin.mqOnConnack(rc, BrokerLimits::FromConnack(properties)); });
}

// A code from 0x80 on is the reason of the broker's DISCONNECT; below, it
// is libmosquitto's own, as in the plain callback.
void mq_on_disconnect_v5(struct mosquitto *mosq, void *user_data, int rc,
    const mosquitto_property *)
{
    if (rc >= aspPlugin::FIRST_REFUSAL) {
        log_safely([&] { instance_of(user_data).mqOnBrokerDisconnect(rc); });
    }
    mq_on_disconnect(mosq, user_data, rc);
}

// A PUBACK or PUBREC with a reason code from 0x80 on reaches only this
// callback: the broker refused that message.
void mq_on_publish_v5(struct mosquitto *, void *user_data, int mid, int reason,
    const mosquitto_property *)
{
    log_safely([&] { instance_of(user_data).mqOnPublish(mid, reason); });
}

void mq_on_message(struct mosquitto *, void *user_data, const struct mosquitto_message *message)
{
    log_safely([&] {
        ag_dprintf("%s: message topic: %s, length: %d\n", instance_of(user_data).GetTag().c_str(),
            message->topic, message->payloadlen);
    });
}

void mq_on_subscribe(struct mosquitto *, void *, int, int, const int *) {}

void mq_on_log(struct mosquitto *, void *user_data, int level, const char *text)
{
    aspPlugin &plugin = instance_of(user_data);
    log_safely([&] {
        ag_dprintf("%s: %d: %s\n", plugin.GetTag().c_str(), level, text);
        if (level == MOSQ_LOG_ERR && text != nullptr) {
            plugin.mqOnLibraryError(text);
        }
    });
}

} // namespace

void mq_register_callbacks(struct mosquitto *mosq, bool mqtt5)
{
    if (mqtt5) {
        mosquitto_connect_v5_callback_set(mosq, mq_on_connect_v5);
        mosquitto_disconnect_v5_callback_set(mosq, mq_on_disconnect_v5);
        mosquitto_publish_v5_callback_set(mosq, mq_on_publish_v5);
    } else {
        mosquitto_connect_callback_set(mosq, mq_on_connect);
        mosquitto_disconnect_callback_set(mosq, mq_on_disconnect);
        mosquitto_publish_callback_set(mosq, mq_on_publish);
    }
    mosquitto_message_callback_set(mosq, mq_on_message);
    mosquitto_subscribe_callback_set(mosq, mq_on_subscribe);
    mosquitto_log_callback_set(mosq, mq_on_log);
}

void aspPlugin::mqOnConnect(int rc)
{
    if (rc == 0) {
        connected = true;
        connecting = false;
        status.Connected();
        brokers.Reached();
        connected_since = std::chrono::steady_clock::now();
        acknowledged = false;
        qos0_unanswered = 0;
        // libmosquitto formats a line for every message it sends or takes
        // while a log callback is set, whatever becomes of it: as costly
        // as the publish itself. Its lines tell most while a connection is
        // made (a handshake's reason above all); the next attempt's client
        // has the callback again.
        mosquitto_log_callback_set(mosq, nullptr);
    }
}

void aspPlugin::mqOnDisconnect(int)
{
    ReportConnectionLoss();
    connected = false;
    connecting = false;
}

// Once per connection the broker had accepted, and the end of an attempt
// either way.
void aspPlugin::ReportConnectionLoss()
{
    if (connected) {
        EndConnection();
    } else {
        status.SetLink(InstanceStatus::Link::WAITING);
    }
}

// A QoS 0 message was written, or a QoS 1 or 2 flow completed: that
// publish needs no second attempt. A reason code from 0x80 on (MQTT 5)
// completes it too, as a refusal.
void aspPlugin::mqOnPublish(int mid, int reason)
{
    if (liveness.Confirm(mid)) {
        return;
    }
    if (reason >= FIRST_REFUSAL) {
        mqOnBrokerRefusal(mid, reason);
        return;
    }
    std::optional<PublishRecord::Confirmation> confirmation = record.Confirm(mid);
    if (!confirmation) {
        return;
    }
    status.Confirmed();
    spool.Settle(confirmation->ticket);
    // A QoS 0 confirmation is a write, which says nothing of the path, nor
    // whether the broker has the message.
    if (limits.Qos(confirmation->qos) > 0) {
        acknowledged = true;
        inflight.Confirmed(confirmation->latency, confirmation->at);
    } else if (connected) {
        ++qos0_unanswered;
    } else {
        status.PossiblyLost(1);
    }
}

void aspPlugin::mqOnPong(unsigned int) {}

void aspPlugin::mqOnLibraryError(const char *text)
{
    status.LibraryError(text);
}
