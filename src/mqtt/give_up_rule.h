/*
 * The rule that keeps one message from stopping the sink.
 *
 * A broker may drop the connection for a message it cannot take: one over
 * its packet size, a QoS or retain flag it does not allow, all told to an
 * MQTT 3.1.1 client only by the dropped connection. The record publishes
 * what a connection left unconfirmed again, first, on the next one, so
 * such a message would be sent, and the connection dropped, for ever, with
 * nothing newer delivered. So when the same publish has been the oldest
 * unconfirmed one at the end of CONNECTIONS accepted connections in a
 * row, it is given up. A connection the broker never accepted tells
 * nothing of the message and does not count.
 */
#ifndef TAVRIX_MQTT_GIVE_UP_RULE_H
#define TAVRIX_MQTT_GIVE_UP_RULE_H

#include <cstdint>
#include <optional>

class GiveUpRule
{
public:
    static constexpr int CONNECTIONS = 3;

    /* An accepted connection ended with `oldest` (its record serial) the
     * oldest unconfirmed publish, or none. True when that publish is to be
     * given up now. */
    bool ConnectionEnded(std::optional<uint64_t> oldest);

private:
    std::optional<uint64_t> watched;
    int ends = 0;
};

#endif
