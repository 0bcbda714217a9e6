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

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

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
    void PayloadTaken() { payloads_taken.fetch_add(1, std::memory_order_relaxed); }
    void Published() { messages_published.fetch_add(1, std::memory_order_relaxed); }
    /* Released, as Lost: a reader that sees the count also sees the
     * publish counted before it, so published - confirmed - lost is never
     * below zero, on weakly ordered processors too. */
    void Confirmed() { messages_confirmed.fetch_add(1, std::memory_order_release); }
    void Resent() { messages_resent.fetch_add(1, std::memory_order_relaxed); }
    /* A publish given up: refused by libmosquitto when handed over again. */
    void Lost() { messages_lost.fetch_add(1, std::memory_order_release); }
    /* A publish libmosquitto refused; `line` is the notice logged for it. */
    void Refused(const std::string &line);
    /* Why the last attempt failed, or the last connection broke. */
    void ConnectionError(const std::string &line);
    /* libmosquitto's last error line (an OpenSSL reason, say). */
    void LibraryError(const std::string &line);

    /* Host side: the figures as a JSON object. */
    nlohmann::json Figures() const;

private:
    using Text = std::shared_ptr<const std::string>;
    static void Store(Text &slot, const std::string &text);
    static nlohmann::json Load(const Text &slot);

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
    Text broker;
    Text last_refusal;
    Text last_connection_error;
    Text last_library_error;
};

#endif
