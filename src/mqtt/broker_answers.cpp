/*
 * What an MQTT 5 broker tells the instance, and an MQTT 3.1.1 broker
 * cannot: the limits its CONNACK sets, the reason it refuses a publish
 * (in the PUBACK or PUBREC) or ends the connection (in its DISCONNECT).
 * A refused publish is done with: the broker has decided, and sending it
 * again would be refused again. It is counted by reason, and logged once
 * per topic and reason while that goes on (RefusalLog).
 */
#include <cstdio>

#include <mosquitto.h>

#include "asp_plugin.h"

namespace {

// "Not authorized (0x87)".
std::string reason_text(int reason)
{
    char code[8];
    std::snprintf(code, sizeof code, "0x%02x", static_cast<unsigned>(reason));
    return std::string(mosquitto_reason_string(reason)) + " (" + code + ")";
}

} // namespace

// What a publish may be on this connection; the warnings once per
// connection, as the broker's answer may differ the next time.
void aspPlugin::mqOnConnack(int rc, const BrokerLimits &connack)
{
    if (rc != 0) {
        connack_refusal = "refused by the broker: " + reason_text(rc);
        return;
    }
    limits = connack;
    applied_window = limits.Window(applied_window);
    status.Limits(limits.Figures());
    if (message_qos > limits.MaximumQos()) {
        ag_printf("%s: the broker takes QoS %d at most: publishing at QoS %d on this connection\n",
            tag.c_str(), limits.MaximumQos(), limits.MaximumQos());
    }
    if (message_retain && !limits.RetainAvailable()) {
        ag_printf("%s: the broker keeps no retained messages: publishing without retain on this"
                  " connection\n",
            tag.c_str());
    }
}

void aspPlugin::mqOnBrokerRefusal(int mid, int reason)
{
    std::string refused_topic;
    std::optional<PublishRecord::Confirmation> refused = record.Confirm(mid, &refused_topic);
    if (!refused) {
        return;
    }
    spool.Settle(refused->ticket);
    acknowledged = true;
    const std::string why = reason_text(reason);
    status.RefusedByBroker(reason, refused_topic + ": " + why);
    if (refusals.Refused(refused_topic, why)) {
        ag_printf("%s: the broker refused a publish on %s: %s\n", tag.c_str(),
            refused_topic.c_str(), why.c_str());
    }
}

void aspPlugin::mqOnBrokerDisconnect(int reason)
{
    ReportLinkFailure("the broker ended the connection: " + reason_text(reason));
}

// Before libmosquitto: it would let a packet up to two bytes over the
// broker's limit through, and the broker would end the connection for it.
void aspPlugin::RefuseOversize(const std::string &refused_topic, uint64_t length)
{
    std::string why = "over the broker's maximum packet size (" +
        std::to_string(limits.MaximumPacketSize()) + " bytes)";
    std::string line =
        "MQ Publish: " + refused_topic + ": " + std::to_string(length) + " bytes, " + why + ".";
    status.Refused(line);
    if (refusals.Refused(refused_topic, why)) {
        ag_printf("%s: %s\n", tag.c_str(), line.c_str());
    }
}

void aspPlugin::ReportRefusals(bool all)
{
    if (refusals.Empty()) {
        return;
    }
    for (const std::string &line : refusals.Counts(all)) {
        ag_printf("%s: %s\n", tag.c_str(), line.c_str());
    }
}
