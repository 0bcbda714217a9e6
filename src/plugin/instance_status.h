/*
 * The figures an instance reports through the agent's status hook: its
 * connection, what it took, published and had confirmed, and its last
 * problems.
 *
 * The worker writes them as it goes; any host thread may read them at
 * any time. Counters are atomics and texts are swapped in whole behind
 * shared pointers, so a reader never waits for the worker, the worker
 * never waits for a reader beyond a pointer swap, and no reader sees a
 * value half written.
 */
#ifndef TAVRIX_PLUGIN_INSTANCE_STATUS_H
#define TAVRIX_PLUGIN_INSTANCE_STATUS_H

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include <nlohmann/json.hpp>

#include "spool.h"

class InstanceStatus
{
public:
    enum class Link { WAITING, CONNECTING, CONNECTED };

    /* Whether the configuration asks for the figures (report_status). */
    void Enable(bool on) { enabled.store(on); }
    bool IsEnabled() const { return enabled.load(); }

    /* Worker side. */
    void Attempt(const std::string &broker);
    void SetLink(Link state) { link_state.store(state); }
    void Connected();
    void ConnectionLost();
    void PayloadTaken() { Count(payloads_taken, std::memory_order_relaxed); }
    /* Taken into the spool, after the spool's figures that hold them:
     * a reader that sees them taken sees them spooled. */
    void PayloadsSpooled(uint64_t count) { Count(payloads_taken, std::memory_order_release, count); }
    void Published() { Count(messages_published, std::memory_order_relaxed); }
    /* Released, as Lost: a reader that sees the count also sees the
     * publish counted before it, so published - confirmed - lost is never
     * below zero, on weakly ordered processors too. */
    void Confirmed() { Count(messages_confirmed, std::memory_order_release); }
    void Resent() { messages_resent.fetch_add(1, std::memory_order_relaxed); }
    /* A publish given up: refused by libmosquitto when handed over again,
     * or the oldest unconfirmed one at the end of too many connections. */
    void Lost() { messages_lost.fetch_add(1, std::memory_order_release); }
    /* A publish the broker refused with `reason` (0x80 and above), released
     * as Lost; `line` names its topic and the reason. */
    void RefusedByBroker(int reason, const std::string &line);
    /* QoS 0 messages written into a connection that broke before the
     * broker said anything after them. */
    void PossiblyLost(uint64_t count) { messages_possibly_lost.fetch_add(count); }
    /* A publish libmosquitto refused, or one too large for the broker;
     * `line` is the notice logged for it. */
    void Refused(const std::string &line);
    /* The MQTT version of the current client: "3.1.1" or "5". */
    void Protocol(const std::string &version) { Store(protocol_version, version); }
    /* What the current connection's CONNACK allows (BrokerLimits::Figures),
     * or null. */
    void Limits(const nlohmann::json &limits);
    /* Why the last attempt failed, or the last connection broke. */
    void ConnectionError(const std::string &line);
    /* libmosquitto's last error line (an OpenSSL reason, say). */
    void LibraryError(const std::string &line);
    /* The spool's directory (empty: no spool), "ok" or "failed: ...", and
     * its figures. */
    void SpoolReport(const std::string &dir, const std::string &state, const SpoolFigures &figures);

    /* Host side: the figures as a JSON object. */
    nlohmann::json Figures() const;

private:
    using Text = std::shared_ptr<const std::string>;
    /* The counters of every payload have one writer, the worker: a plain
     * store of the next value, unlike an atomic increment, costs no
     * locked instruction on the hot path. */
    static void Count(std::atomic<uint64_t> &counter, std::memory_order order,
        uint64_t count = 1)
    {
        counter.store(counter.load(std::memory_order_relaxed) + count, order);
    }
    static void Store(Text &slot, const std::string &text);
    static nlohmann::json Load(const Text &slot);
    nlohmann::json BrokerRefusals() const;
    nlohmann::json SpoolObject() const;

    /* A count per reason code from 0x80 on. */
    static constexpr int FIRST_REFUSAL = 0x80;

    std::atomic<bool> enabled{false};
    std::atomic<Link> link_state{Link::WAITING};
    std::atomic<int64_t> connected_at{0}; // seconds since the epoch, 0: not connected
    std::atomic<uint64_t> connections{0};
    std::atomic<uint64_t> connections_lost{0};
    std::atomic<uint64_t> payloads_taken{0};
    std::atomic<uint64_t> messages_published{0};
    std::atomic<uint64_t> messages_confirmed{0};
    std::atomic<uint64_t> messages_resent{0};
    std::atomic<uint64_t> messages_lost{0};
    std::atomic<uint64_t> messages_refused{0};
    std::atomic<uint64_t> messages_refused_by_broker{0};
    std::atomic<uint64_t> messages_possibly_lost{0};
    std::array<std::atomic<uint64_t>, 256 - FIRST_REFUSAL> broker_refusals{};
    Text protocol_version;
    std::shared_ptr<const nlohmann::json> broker_limits;
    Text last_broker_refusal;
    Text broker;
    Text last_refusal;
    Text last_connection_error;
    Text last_library_error;
    std::atomic<bool> spool_configured{false};
    Text spool_dir;
    Text spool_state;
    /* What was stored last, worker side: texts are swapped in only when
     * they change. */
    std::string told_spool_dir;
    std::string told_spool_state;
    /* The spool's counts, each under its name in the figures. */
    static constexpr std::pair<const char *, uint64_t SpoolFigures::*> SPOOL_COUNTS[] = {
        {"payloads", &SpoolFigures::payloads}, {"bytes", &SpoolFigures::bytes},
        {"dropped", &SpoolFigures::dropped}, {"replayed", &SpoolFigures::replayed},
        {"skipped", &SpoolFigures::skipped}, {"write_failures", &SpoolFigures::write_failures}};
    std::array<std::atomic<uint64_t>, std::size(SPOOL_COUNTS)> spool_counts{};
    std::atomic<int64_t> spool_oldest_age_ms{0};
};

#endif
