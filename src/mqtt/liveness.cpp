#include "liveness.h"

#include <cerrno>

#include <mosquitto.h>

#include "asp_plugin.h"
#include "socket_wait.h"

int Liveness::Arm(struct mosquitto *mosq, Messages messages)
{
    armed = Messages{};
    birth_due = false;
    birth_mid = farewell_mid = NONE;
    // A NUL would set the will on a shortened topic; an empty topic is
    // one no broker takes.
    if (messages.topic.empty() || messages.topic.find('\0') != std::string::npos) {
        return MOSQ_ERR_INVAL;
    }
    int rc = mosquitto_will_set(mosq, messages.topic.c_str(),
        static_cast<int>(messages.will_payload.size()), messages.will_payload.data(), messages.qos,
        messages.retain);
    if (rc == MOSQ_ERR_SUCCESS) {
        armed = std::move(messages);
        birth_due = true;
    }
    return rc;
}

int Liveness::Announce(struct mosquitto *mosq, const BrokerLimits &limits)
{
    if (!birth_due) {
        return MOSQ_ERR_SUCCESS;
    }
    birth_due = false;
    return Publish(mosq, limits, armed.birth_payload, birth_mid);
}

int Liveness::SayFarewell(struct mosquitto *mosq, const BrokerLimits &limits)
{
    farewell_confirmed = false;
    return Publish(mosq, limits, armed.will_payload, farewell_mid);
}

// The will itself is set before the CONNACK tells the broker's limits: an
// MQTT 5 broker refuses a connection whose will asks for more.
int Liveness::Publish(struct mosquitto *mosq, const BrokerLimits &limits,
    const std::string &payload, int &mid)
{
    mid = NONE;
    return mosquitto_publish(mosq, &mid, armed.topic.c_str(), static_cast<int>(payload.size()),
        payload.data(), limits.Qos(armed.qos), limits.Retain(armed.retain));
}

bool Liveness::Confirm(int mid)
{
    if (mid == NONE) {
        return false;
    }
    if (mid == birth_mid) {
        birth_mid = NONE;
        return true;
    }
    if (mid == farewell_mid) {
        farewell_mid = NONE;
        farewell_confirmed = true;
        return true;
    }
    return false;
}

// The will is the client's: every initialise drops it, so every attempt
// sets it again. A will the library refuses ends the attempt, as a
// refused TLS set-up does: connected without it, the instance would tell
// its watchers nothing when it vanishes.
bool aspPlugin::mqSetWill()
{
    if (will_topic.empty()) {
        liveness = Liveness();
        return true;
    }
    // Expanded like the client id: there is no channel here.
    std::map<std::string, std::string> scratch(variables);
    Liveness::Messages messages{"", will_payload, birth_payload, will_qos, will_retain};
    ag_expand_variables(will_topic, messages.topic, scratch);
    std::string expanded = messages.topic;
    int rc = liveness.Arm(mosq, std::move(messages));
    if (rc != MOSQ_ERR_SUCCESS) {
        ReportLinkFailure("error setting the will on " + expanded + ": " + mosquitto_strerror(rc) +
            " [" + std::to_string(rc) + "]");
        return false;
    }
    return true;
}

// Before the re-sends and the new payloads: a watcher learns the instance
// is back before anything it publishes arrives.
void aspPlugin::mqPublishBirth()
{
    int rc = liveness.Announce(mosq, limits);
    if (rc != MOSQ_ERR_SUCCESS) {
        ag_printf("%s: MQ Publish: %s: %s.\n", tag.c_str(), liveness.Topic().c_str(),
            mosquitto_strerror(rc));
    }
}

/*
 * A clean stop says goodbye in the will's words before the DISCONNECT
 * that makes the broker drop the will. When the broker has not confirmed
 * the farewell in time (it does not read, or the connection went), the
 * client goes without a DISCONNECT: the broker then publishes the will
 * itself once it sees the connection closed.
 */
void aspPlugin::mqSayFarewell()
{
    if (!connected || !liveness.Armed()) {
        return;
    }
    int rc = liveness.SayFarewell(mosq, limits);
    if (rc == MOSQ_ERR_SUCCESS) {
        AwaitFarewell();
    }
    if (liveness.FarewellConfirmed()) {
        return;
    }
    std::string reason = rc != MOSQ_ERR_SUCCESS
        ? std::string(": ") + mosquitto_strerror(rc) + " [" + std::to_string(rc) + "]"
        : " not confirmed within " + std::to_string(Liveness::FAREWELL_LIMIT.count()) + " ms";
    ag_printf("%s: farewell on %s%s: leaving without DISCONNECT, for the broker to publish the "
              "will\n",
        tag.c_str(), liveness.Topic().c_str(), reason.c_str());
    // Gone with its socket, unlike a reset's; the connection's end is
    // counted by the teardown, as after a confirmed farewell.
    record.ForgetClient();
    mosquitto_destroy(mosq);
    mosq = nullptr;
}

// The worker's pass no longer runs: the socket is driven here, until the
// farewell is confirmed, the connection ends or the time is up.
void aspPlugin::AwaitFarewell()
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + Liveness::FAREWELL_LIMIT;
    while (connected && !liveness.FarewellConfirmed()) {
        auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
        int socket = mosquitto_socket(mosq);
        if (left.count() <= 0 || socket == -1) {
            return;
        }
        SocketReadiness ready;
        if (mq_wait_socket(socket, mosquitto_want_write(mosq), -1, left, ready) == -1 &&
            errno != EINTR) {
            return;
        }
        int rc = ready.readable ? mosquitto_loop_read(mosq, 1) : MOSQ_ERR_SUCCESS;
        if (rc == MOSQ_ERR_SUCCESS && ready.writable) {
            rc = mosquitto_loop_write(mosq, 1);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            return;
        }
    }
}
