/*
 * A payload as the spool hands it out: its bytes and channels, and a
 * shared owner that keeps them alive. One taken from the host's queue in
 * this run is the host's own payload, shared and never copied; one read
 * back from a segment owns its copy. Copying a SpoolPayload copies a
 * pointer, never the bytes.
 *
 * The plug-in never constructs the host's payload type: that constructor
 * belongs to the agent, not to the interface a plug-in may rely on.
 */
#ifndef TAVRIX_SPOOL_SPOOL_PAYLOAD_H
#define TAVRIX_SPOOL_SPOOL_PAYLOAD_H

#include <cstdint>
#include <memory>
#include <set>
#include <string>

#include <host/tavrixd.h>

struct SpoolPayload {
    const uint8_t *data = nullptr;
    uint64_t length = 0;
    const std::set<std::string> *channels = nullptr;
    std::shared_ptr<const void> owner;

    static SpoolPayload FromHost(const std::shared_ptr<agPluginSinkPayload> &payload);
    static SpoolPayload Stored(std::string bytes, std::set<std::string> channels);
};

/* Which payload of which spool a publish belongs to, for that spool's
 * Done once all its publishes are settled. A spool opened again (a
 * reload that moves it, a retry after a failure) has another generation,
 * so a ticket of the one before can never settle a payload of the new
 * one. Generation 0: no spool. */
struct SpoolTicket {
    uint32_t generation = 0;
    uint64_t seq = 0;
};

#endif
