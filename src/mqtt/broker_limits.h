/*
 * What an MQTT 5 broker's CONNACK says it takes from this client: how
 * many QoS 1 and 2 messages in flight (Receive Maximum), how large a
 * packet (Maximum Packet Size), which QoS at most, and whether it keeps
 * retained messages. A property the CONNACK leaves out has MQTT's
 * default: 65535, no limit, 2 and yes. An MQTT 3.1.1 broker says none of
 * this, and a connection to it has the defaults.
 *
 * A publish is fitted to them before libmosquitto sees it: libmosquitto
 * refuses a QoS above the maximum, clears the retain flag silently, and
 * takes the broker's Receive Maximum as its window even where that is
 * wider than the one configured.
 */
#ifndef TAVRIX_MQTT_BROKER_LIMITS_H
#define TAVRIX_MQTT_BROKER_LIMITS_H

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

typedef struct mqtt5__property mosquitto_property;

class BrokerLimits
{
public:
    static constexpr uint32_t NO_PACKET_LIMIT = 0;
    /* The largest Receive Maximum: MQTT's default. */
    static constexpr int NO_WINDOW_LIMIT = 65535;

    /* The limits a CONNACK's properties give. */
    static BrokerLimits FromConnack(const mosquitto_property *properties);

    /* The window: the configured one, or the broker's when smaller. */
    int Window(int configured) const;
    /* A QoS outside 0 to 2 stays as it is, for libmosquitto to refuse. */
    int Qos(int wanted) const { return wanted > maximum_qos && wanted <= 2 ? maximum_qos : wanted; }
    bool Retain(bool wanted) const { return wanted && retain_available; }
    /* Whether a PUBLISH of this topic and payload at this QoS fits the
     * broker's Maximum Packet Size. */
    bool Fits(std::size_t topic_length, uint64_t payload_length, int qos) const;
    uint32_t MaximumPacketSize() const { return maximum_packet_size; }
    int MaximumQos() const { return maximum_qos; }
    bool RetainAvailable() const { return retain_available; }

    /* The limits as the status shows them. */
    nlohmann::json Figures() const;

private:
    int receive_maximum = NO_WINDOW_LIMIT;
    uint32_t maximum_packet_size = NO_PACKET_LIMIT;
    int maximum_qos = 2;
    bool retain_available = true;
};

/* The size of an MQTT 5 PUBLISH packet without properties, fixed header
 * included: what a broker holds against its Maximum Packet Size. */
uint64_t mq_publish_packet_size(std::size_t topic_length, uint64_t payload_length, int qos);

#endif
