/*
 * What the end of a connection the broker had accepted settles: the QoS 0
 * messages it may have taken along, the wait before the next attempt, and
 * the publish that may be what keeps ending connections.
 */
#include "asp_plugin.h"

void aspPlugin::EndConnection()
{
    status.ConnectionLost();
    status.Limits(nullptr);
    // Written, but the broker said nothing after them: they may have sat in
    // the kernel's buffers when the connection broke. QoS 0 never sends a
    // message twice, so they are not published again.
    if (qos0_unanswered > 0) {
        ag_printf("%s: %llu QoS 0 messages possibly lost: written since the broker last sent"
                  " anything\n",
            tag.c_str(), static_cast<unsigned long long>(qos0_unanswered));
        status.PossiblyLost(qos0_unanswered);
        qos0_unanswered = 0;
    }
    backoff.ConnectionEnded(std::chrono::steady_clock::now() - connected_since, acknowledged);
    if (give_up.ConnectionEnded(record.OldestSerial())) {
        GiveUpOldest();
    }
}

void aspPlugin::GiveUpOldest()
{
    std::optional<PublishRecord::Entry> oldest = record.DropOldest();
    if (!oldest) {
        return;
    }
    status.Lost();
    ag_printf("%s: gave up a publish on %s (%llu bytes): the oldest unconfirmed one when %d"
              " connections in a row ended\n",
        tag.c_str(), oldest->topic.c_str(),
        static_cast<unsigned long long>(oldest->payload->length), GiveUpRule::CONNECTIONS);
}
