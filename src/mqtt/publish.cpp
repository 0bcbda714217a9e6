/*
 * Publishing: one request per channel, each to its channel's expansion of
 * the topic template. The library queues the request; the worker's next
 * write step sends it.
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

bool aspPlugin::mqPublish(const std::shared_ptr<agPluginSinkPayload> &payload)
{
    for (const std::string &channel : payload->channels) {
        const std::string &expanded = topics.TopicFor(channel, topic, variables);

        ag_dprintf("%s: MQ Publish: %s, length: %lu\n", tag.c_str(), expanded.c_str(),
            static_cast<unsigned long>(payload->length));

        int rc = library_refusal(expanded, payload->length);
        // The id ties the library's confirmation to the record's entry.
        int mid = PublishRecord::UNSENT;
        if (rc == MOSQ_ERR_SUCCESS) {
            rc = mosquitto_publish(mosq, &mid, expanded.c_str(),
                static_cast<int>(payload->length), payload->data, message_qos, message_retain);
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            const char *text = mosquitto_strerror(rc);
            ag_printf("%s: MQ Publish: %s: %s.\n", tag.c_str(), expanded.c_str(), text);
            status.Refused("MQ Publish: " + expanded + ": " + text + ".");
            return false;
        }
        record.Add(payload, expanded, message_qos, message_retain, mid);
        status.Published();
    }
    return true;
}
