/*
 * The disk spool's life beside the worker (spool.h): opened at the first
 * load, opened anew when a reload moves or resizes it, and after a
 * failure once what it still held is settled, a minute later at the
 * soonest; which spooled payload each publish belongs to, so that a
 * payload is done once every publish of it is settled; its lines for the
 * log and its figures for the status.
 *
 * Without a spool_dir none of it runs, and the worker drains the host's
 * queue as it always has. A spool that cannot be opened, or fails, leaves
 * the sink running as without one: it neither stops nor drops.
 */
#ifndef TAVRIX_MQTT_SPOOL_FEED_H
#define TAVRIX_MQTT_SPOOL_FEED_H

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

#include "spool.h"

class InstanceStatus;

class SpoolFeed
{
public:
    using Clock = std::chrono::steady_clock;

    /* How long a spool that failed, or could not be opened, is left
     * before it is tried again. */
    static constexpr std::chrono::seconds RETRY_INTERVAL{60};
    /* Drops by the bound are told at most this often. */
    static constexpr std::chrono::seconds DROP_REPORT_INTERVAL{60};

    explicit SpoolFeed(const std::string &instance_tag) : tag(instance_tag) {}

    /* The directory (variables expanded; empty: no spool) and the bound the
     * configuration asks for: a change of either closes the spool and
     * opens it anew (a failed one once what it holds is settled). The
     * figures go into `status` at once. */
    void Configure(const std::string &dir, uint64_t max_bytes, InstanceStatus &status);
    bool Configured() const { return !dir.empty(); }
    /* The open spool, failed or not; null when there is none. */
    Spool *Get() const { return spool.get(); }
    /* Payloads go into the spool: it is open, has not failed, and holds
     * back no payload it refused. */
    bool Taking() const { return spool && !spool->Failed() && !held; }
    /* A payload may wait to be handed out (a look that costs nothing). */
    bool Waiting() const { return held || (spool && spool->Waiting()); }
    /* Open and not failed: what it holds is on disk. */
    bool Healthy() const { return spool && !spool->Failed(); }

    /* A payload the spool refused (its failure, or larger than its bound),
     * to be published directly, after what the spool holds and before the
     * spool takes another. */
    std::shared_ptr<agPluginSinkPayload> held;

    SpoolTicket Ticket(uint64_t seq) const { return SpoolTicket{generation, seq}; }
    /* `publishes` of the payload were handed to libmosquitto; with none
     * (every channel refused before sending) it is done now. */
    void HandedOut(SpoolTicket ticket, std::size_t publishes);
    /* A publish of the payload is settled: confirmed, refused by the
     * broker, given up or refused when handed over again. */
    void Settle(SpoolTicket ticket)
    {
        if (ticket.generation == generation && spool) {
            SettleOne(ticket.seq);
        }
    }

    /* Once per pass: the sync when due, the spool's lines, its failure,
     * the retry, the drops, and the figures into `status`. */
    void Serve(InstanceStatus &status);
    /* When Serve must run next: the sync due, or never. */
    Clock::time_point WakeBy() const;
    /* The last word at a stop: a sync, so that a restart hands out again
     * only what is not done; the figures into `status`. */
    void Finish(InstanceStatus &status);

private:
    /* The directory and bound the configuration asks for: applied at once,
     * but to a failed spool only once it is settled. */
    struct Settings {
        std::string dir;
        uint64_t max_bytes = Spool::DEFAULT_MAX_BYTES;
    };
    bool Replaceable() const;
    void Apply(const char *why);
    void Open();
    void Close(const char *why);
    void SettleOne(uint64_t seq);
    void TellNotices();
    void TellFailure(Clock::time_point now);
    void TellDrops(Clock::time_point now, uint64_t dropped);
    void Report(InstanceStatus &status);
    /* `line` without the "spool DIR: " it starts with. */
    std::string Reason(const std::string &line) const;

    const std::string &tag;
    Settings wanted;
    std::string dir;
    uint64_t max_bytes = Spool::DEFAULT_MAX_BYTES;
    std::unique_ptr<Spool> spool;
    uint32_t generation = 0;
    /* Payloads handed out with more than one publish still open. */
    std::unordered_map<uint64_t, uint32_t> open_publishes;

    /* "ok", or "failed: ..." */
    std::string state;
    std::string last_open_error;
    bool failure_told = false;
    /* When the spool failed, or an open failed: the retry comes a
     * RETRY_INTERVAL later. */
    Clock::time_point failed_at;
    /* The counts of the spools closed before this one, and the open
     * failures, which no spool counts. */
    SpoolFigures closed;
    uint64_t dropped_told = 0;
    Clock::time_point drops_told_at;
    bool drops_told = false;
};

#endif
