/*
 * The spool in the worker's pass (spool_feed.h). With a spool_dir, every
 * pass takes what the host's queue holds into the spool, connected or
 * not, and hands libmosquitto what the spool holds, oldest first, while
 * the record has room: an outage longer than the host's queue, or a
 * restart of the agent, loses nothing. What a broken connection left
 * unconfirmed still comes from the record, before anything the spool
 * hands out. A spool that failed hands out what it still holds; then the
 * pass drains the host's queue as without a spool.
 */
#include <algorithm>

#include <mosquitto.h>

#include "asp_plugin.h"

// Expanded like the TLS paths: instances sharing one configuration
// template keep their spools apart through the agent's variables.
void aspPlugin::ConfigureSpool()
{
    std::string dir;
    if (!spool_dir.empty()) {
        std::map<std::string, std::string> scratch(variables);
        ag_expand_variables(spool_dir, dir, scratch);
    }
    uint64_t bound =
        spool_max_bytes > 0 ? static_cast<uint64_t>(spool_max_bytes) : Spool::DEFAULT_MAX_BYTES;
    spool.Configure(dir, bound, status);
}

void aspPlugin::PassSpool(std::shared_ptr<agPluginSinkPayload> &payload)
{
    uint64_t taken = TakeIntoSpool(payload);
    HandOutSpooled(payload);
    spool.Serve(status);
    // Counted once the spool's figures hold them.
    if (taken > 0) {
        status.PayloadsSpooled(taken);
    }
}

uint64_t aspPlugin::TakeIntoSpool(std::shared_ptr<agPluginSinkPayload> &payload)
{
    if (!spool.Taking()) {
        return 0;
    }
    Spool &disk = *spool.Get();
    // Never more than waited when the take began: a host that queues as
    // fast as the worker takes would otherwise keep it from the socket.
    const uint64_t limit = std::min(WaitOnPayloadQueue(0), SPOOL_BATCH);
    uint64_t taken = 0;
    for (uint64_t bytes = 0; taken < limit && bytes < SPOOL_BATCH_BYTES; ++taken) {
        if (!PopPayloadQueue(payload)) {
            break;
        }
        if (!disk.Append(payload)) {
            spool.held = std::move(payload);
            break;
        }
        bytes += payload->length;
    }
    payload.reset();
    // A failed write fails the spool, which then hands out from memory
    // what the write did not keep.
    disk.Flush();
    return taken;
}

void aspPlugin::HandOutSpooled(std::shared_ptr<agPluginSinkPayload> &payload)
{
    if (!connected || !TakesPayloads(write_interest.Pending(mosquitto_want_write(mosq)))) {
        return;
    }
    const uint64_t hand_off_limit = HandOffLimit();
    Spool *disk = spool.Get();
    bool more = disk != nullptr;
    for (uint64_t handed = 0; more && handed < DRAIN_BATCH && RecordHasRoom(hand_off_limit);
         ++handed) {
        Spool::Item item;
        more = disk->Next(item);
        if (more) {
            // Confirmations come only inside the loop calls: what the
            // record gains here are this payload's publishes.
            std::size_t before = record.Size();
            SpoolTicket ticket = spool.Ticket(item.seq);
            mqPublish(item.payload, ticket);
            spool.HandedOut(ticket, record.Size() - before);
        }
    }
    if (more || !RecordHasRoom(hand_off_limit)) {
        return;
    }
    if (spool.held) {
        mqPublish(spool.held);
        status.PayloadTaken();
        spool.held.reset();
    }
    if (!spool.Taking()) {
        DrainPayloadQueue(payload);
    }
}

// Bounded in time: the host waits for the worker's end. What is still
// queued then goes with the instance, as without a spool.
void aspPlugin::SpoolRestOfQueue(std::shared_ptr<agPluginSinkPayload> &payload)
{
    const auto deadline = std::chrono::steady_clock::now() + SPOOL_STOP_LIMIT;
    uint64_t taken = 0;
    while (spool.Taking() && WaitOnPayloadQueue(0) > 0 &&
        std::chrono::steady_clock::now() < deadline) {
        taken += TakeIntoSpool(payload);
    }
    spool.Finish(status);
    status.PayloadsSpooled(taken);
    // A payload the spool refused and the pass had not yet published goes
    // too.
    uint64_t left = (spool.Taking() ? WaitOnPayloadQueue(0) : 0) + (spool.held ? 1 : 0);
    if (left > 0) {
        ag_printf("%s: %llu payloads still queued at the stop after %lld ms: not spooled\n",
            tag.c_str(), static_cast<unsigned long long>(left),
            static_cast<long long>(SPOOL_STOP_LIMIT.count()));
    }
}
