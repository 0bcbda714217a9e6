/*
 * Publishing: one request per channel, each to its channel's expansion of
 * the topic template, fitted to what the broker takes (BrokerLimits). The
 * library queues the request; the worker's next write step sends it.
 */
#include <climits>

#include <mosquitto.h>

#include "asp_plugin.h"

namespace {

// What the library cannot be handed without losing part of the request:
// it reads the topic as a C string, so a NUL would publish on a shortened
// topic, and it takes a signed 32-bit length, so a longer payload would go
// out truncated. Both are refused as the library refuses an invalid topic
// or a payload over its own limit.
int library_refusal(const std::string &topic, uint64_t length)
{
    if (topic.find('\0') != std::string::npos) {
        return MOSQ_ERR_INVAL;
    }
    if (length > static_cast<uint64_t>(INT_MAX)) {
        return MOSQ_ERR_PAYLOAD_SIZE;
    }
    return MOSQ_ERR_SUCCESS;
}

} // namespace

// MOSQ_ERR_OVERSIZE_PACKET for a publish over the broker's packet size.
int aspPlugin::HandOver(const std::string &to, const SpoolPayload &payload, int qos, bool retain,
    int &mid)
{
    int rc = library_refusal(to, payload.length);
    if (rc != MOSQ_ERR_SUCCESS) {
        return rc;
    }
    qos = limits.Qos(qos);
    if (!limits.Fits(to.size(), payload.length, qos)) {
        return MOSQ_ERR_OVERSIZE_PACKET;
    }
    return mosquitto_publish(mosq, &mid, to.c_str(), static_cast<int>(payload.length),
        payload.data, qos, limits.Retain(retain));
}

// A refused channel is that channel's: the others are published all the
// same, and each refusal is counted.
bool aspPlugin::mqPublish(const std::shared_ptr<agPluginSinkPayload> &payload)
{
    return mqPublish(SpoolPayload::FromHost(payload), SpoolTicket());
}

bool aspPlugin::mqPublish(const SpoolPayload &payload, SpoolTicket ticket)
{
    bool all_taken = true;
    for (const std::string &channel : *payload.channels) {
        const SharedTopic &shared = topics.TopicFor(channel, topic, variables);
        const std::string &expanded = *shared;

        ag_dprintf("%s: MQ Publish: %s, length: %lu\n", tag.c_str(), expanded.c_str(),
            static_cast<unsigned long>(payload.length));

        // The id ties the library's confirmation to the record's entry.
        int mid = PublishRecord::UNSENT;
        int rc = HandOver(expanded, payload, message_qos, message_retain, mid);
        if (rc == MOSQ_ERR_OVERSIZE_PACKET) {
            RefuseOversize(expanded, payload.length);
            all_taken = false;
            continue;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            const char *text = mosquitto_strerror(rc);
            ag_printf("%s: MQ Publish: %s: %s.\n", tag.c_str(), expanded.c_str(), text);
            status.Refused("MQ Publish: " + expanded + ": " + text + ".");
            all_taken = false;
            continue;
        }
        record.Add(payload, ticket, shared, message_qos, message_retain, mid);
        status.Published();
    }
    return all_taken;
}
