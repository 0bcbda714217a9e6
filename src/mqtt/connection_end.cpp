/*
 * What the end of a connection the broker had accepted settles: the QoS 0
 * messages it may have taken along, the wait before the next attempt, and
 * the publish that may be what keeps ending connections.
 */
#include "asp_plugin.h"
#include "log_safely.h"

// Also inside libmosquitto's disconnect callback: nothing here may throw
// but the log lines, which are lost instead.
void aspPlugin::EndConnection()
{
    status.ConnectionLost();
    status.Limits(nullptr);
    // Written, but the broker said nothing after them: they may have sat in
    // the kernel's buffers when the connection broke. QoS 0 never sends a
    // message twice, so they are not published again.
    if (uint64_t possibly_lost = qos0_unanswered; possibly_lost > 0) {
        status.PossiblyLost(possibly_lost);
        qos0_unanswered = 0;
        log_safely([&] {
            ag_printf("%s: %llu QoS 0 messages possibly lost: written since the broker last sent"
                      " anything\n",
                tag.c_str(), static_cast<unsigned long long>(possibly_lost));
        });
    }
    backoff.ConnectionEnded(std::chrono::steady_clock::now() - connected_since, acknowledged);
    // A stop ends the connection, not the broker: it tells nothing of the
    // oldest publish, which a spool keeps for the next start.
    if (!terminate.load() && give_up.ConnectionEnded(record.OldestSerial())) {
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
    spool.Settle(oldest->ticket);
    log_safely([&] {
        ag_printf("%s: gave up a publish on %s (%llu bytes): the oldest unconfirmed one when %d"
                  " connections in a row ended\n",
            tag.c_str(), oldest->topic->c_str(),
            static_cast<unsigned long long>(oldest->payload.length), GiveUpRule::CONNECTIONS);
    });
}
