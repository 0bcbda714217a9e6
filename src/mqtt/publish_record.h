/*
 * The publishes an instance has handed to libmosquitto and the library has
 * not yet confirmed.
 *
 * libmosquitto forgets whatever it holds when the client is re-initialised
 * for a new connection: QoS 0 messages it has not written, QoS 1 and 2
 * messages the broker has not acknowledged. The record keeps each such
 * publish (its payload, topic and flags) until the library's publish
 * callback confirms it, so that what a broken connection took along can be
 * published again on the next one, before anything newer and in the order
 * it was first handed over. Its length is what bounds the hand-off: the
 * worker takes no payload while the record is full.
 */
#ifndef TAVRIX_MQTT_PUBLISH_RECORD_H
#define TAVRIX_MQTT_PUBLISH_RECORD_H

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "spool_payload.h"
#include "topic_cache.h"

class PublishRecord
{
public:
    struct Entry {
        SpoolPayload payload;
        /* Its payload in the spool, if spooled. */
        SpoolTicket ticket;
        SharedTopic topic;
        int qos;
        bool retain;
        /* The message id the current client gave it; UNSENT until it has
         * been handed to the current client. */
        int mid;
        bool confirmed;
        /* When it was last handed over (QoS 1 and 2 only). */
        std::chrono::steady_clock::time_point handed_at;
        /* Tells it from every other publish of the instance's life. */
        uint64_t serial;
    };
    /* What a confirmation tells of its publish. */
    struct Confirmation {
        int qos;
        /* From the hand-over to the confirmation; zero at QoS 0. */
        std::chrono::steady_clock::duration latency;
        SpoolTicket ticket;
        /* When it came (QoS 1 and 2): one clock read per acknowledgement. */
        std::chrono::steady_clock::time_point at;
    };
    static constexpr int UNSENT = -1;

    /* A publish the current client has taken as `mid`. */
    void Add(const SpoolPayload &payload, SpoolTicket ticket, SharedTopic topic, int qos,
        bool retain, int mid);
    /* The library's publish callback for `mid`: the publish is done with.
     * Nothing when no publish of the current client has that id. With
     * `topic`, its topic is copied there. */
    std::optional<Confirmation> Confirm(int mid, std::string *topic = nullptr);
    /* The client was re-initialised, and with it went everything it held:
     * every publish still recorded is to be handed over again. Returns how
     * many there are. */
    std::size_t ForgetClient();

    /* Hands every publish not yet handed to the current client to `send`,
     * oldest first. `send` returns the new message id, or UNSENT when the
     * library refused the publish, which is then dropped from the record.
     * Returns how many were handed over. */
    std::size_t Resend(const std::function<int(const Entry &)> &send);
    /* Whether some publish waits to be handed to the current client. */
    bool HasUnsent() const { return unsent > 0; }

    /* The serial of the oldest unconfirmed publish, or none. */
    std::optional<uint64_t> OldestSerial() const;
    /* Drops the oldest unconfirmed publish, which is never handed over
     * again; returns it (none when there is none). */
    std::optional<Entry> DropOldest();
    /* Publishes held and not confirmed yet. */
    std::size_t Unconfirmed() const;

    /* Publishes held, confirmed or not yet: what the record costs. */
    std::size_t Size() const { return entries.size(); }
    bool Empty() const { return entries.empty(); }
    /* The payload bytes of the publishes not yet confirmed: what
     * libmosquitto holds copies of. */
    uint64_t Bytes() const { return bytes; }

private:
    void PopConfirmed();
    static std::chrono::steady_clock::time_point HandedAt(int qos);
    void Release(Entry &entry);

    std::deque<Entry> entries;
    std::size_t unsent = 0;
    uint64_t bytes = 0;
    uint64_t next_serial = 0;
};

#endif
