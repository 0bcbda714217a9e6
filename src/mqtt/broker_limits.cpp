#include "broker_limits.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

BrokerLimits BrokerLimits::FromConnack(const mosquitto_property *properties)
{
    BrokerLimits limits;
    uint16_t receive_maximum = 0;
    if (mosquitto_property_read_int16(properties, MQTT_PROP_RECEIVE_MAXIMUM, &receive_maximum,
            false) != nullptr &&
        receive_maximum > 0) {
        limits.receive_maximum = receive_maximum;
    }
    mosquitto_property_read_int32(properties, MQTT_PROP_MAXIMUM_PACKET_SIZE,
        &limits.maximum_packet_size, false);
    uint8_t byte = 0;
    if (mosquitto_property_read_byte(properties, MQTT_PROP_MAXIMUM_QOS, &byte, false) != nullptr &&
        byte < 2) {
        limits.maximum_qos = byte;
    }
    if (mosquitto_property_read_byte(properties, MQTT_PROP_RETAIN_AVAILABLE, &byte, false) !=
        nullptr) {
        limits.retain_available = byte != 0;
    }
    return limits;
}

int BrokerLimits::Window(int configured) const
{
    return configured < receive_maximum ? configured : receive_maximum;
}

bool BrokerLimits::Fits(std::size_t topic_length, uint64_t payload_length, int qos) const
{
    return maximum_packet_size == NO_PACKET_LIMIT ||
        mq_publish_packet_size(topic_length, payload_length, qos) <= maximum_packet_size;
}

nlohmann::json BrokerLimits::Figures() const
{
    return {{"receive_maximum", receive_maximum},
        {"maximum_packet_size",
            maximum_packet_size == NO_PACKET_LIMIT ? nlohmann::json()
                                                   : nlohmann::json(maximum_packet_size)},
        {"maximum_qos", maximum_qos}, {"retain_available", retain_available}};
}

// Topic length, topic, packet id (QoS 1 and 2), an empty property list and
// the payload, after the fixed header's byte and its variable-length
// remaining length. libmosquitto's own check leaves out the header byte
// and one byte of the packet id, so a packet just over the limit would
// pass it and the broker would drop the connection for it.
uint64_t mq_publish_packet_size(std::size_t topic_length, uint64_t payload_length, int qos)
{
    uint64_t remaining = 2 + topic_length + (qos > 0 ? 2 : 0) + 1 + payload_length;
    uint64_t length_bytes = 1;
    for (uint64_t rest = remaining >> 7; rest > 0; rest >>= 7) {
        ++length_bytes;
    }
    return 1 + length_bytes + remaining;
}
