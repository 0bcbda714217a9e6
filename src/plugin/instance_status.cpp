#include "instance_status.h"

#include <chrono>
#include <ctime>

#include <mosquitto.h>

namespace {

const char *link_name(InstanceStatus::Link link)
{
    switch (link) {
    case InstanceStatus::Link::CONNECTED: return "connected";
    case InstanceStatus::Link::CONNECTING: return "connecting";
    case InstanceStatus::Link::WAITING: return "waiting";
    }
    return "waiting";
}

nlohmann::json utc_time(int64_t seconds)
{
    if (seconds == 0) {
        return nullptr;
    }
    std::time_t when = static_cast<std::time_t>(seconds);
    struct tm parts;
    char text[32];
    if (gmtime_r(&when, &parts) == nullptr ||
        std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &parts) == 0) {
        return nullptr;
    }
    return text;
}

} // namespace

void InstanceStatus::Store(Text &slot, const std::string &text)
{
    std::atomic_store(&slot, std::make_shared<const std::string>(text));
}

nlohmann::json InstanceStatus::Load(const Text &slot)
{
    Text text = std::atomic_load(&slot);
    if (!text) {
        return nullptr;
    }
    return *text;
}

void InstanceStatus::Attempt(const std::string &address)
{
    Store(broker, address);
    link_state.store(Link::CONNECTING);
}

void InstanceStatus::Connected()
{
    connected_at.store(std::chrono::duration_cast<std::chrono::seconds>(
        std::chrono::system_clock::now().time_since_epoch())
                           .count());
    connections.fetch_add(1);
    link_state.store(Link::CONNECTED);
}

void InstanceStatus::ConnectionLost()
{
    connected_at.store(0);
    connections_lost.fetch_add(1);
    link_state.store(Link::WAITING);
}

void InstanceStatus::Refused(const std::string &line)
{
    Store(last_refusal, line);
    messages_refused.fetch_add(1);
}

void InstanceStatus::RefusedByBroker(int reason, const std::string &line)
{
    Store(last_broker_refusal, line);
    broker_refusals[static_cast<std::size_t>(reason - FIRST_REFUSAL) % broker_refusals.size()]
        .fetch_add(1, std::memory_order_relaxed);
    messages_refused_by_broker.fetch_add(1, std::memory_order_release);
}

void InstanceStatus::Limits(const nlohmann::json &limits)
{
    std::atomic_store(&broker_limits,
        limits.is_null() ? nullptr : std::make_shared<const nlohmann::json>(limits));
}

// Reasons by their text: two codes libmosquitto has no text for share
// "Unknown reason".
nlohmann::json InstanceStatus::BrokerRefusals() const
{
    nlohmann::json refusals = nlohmann::json::object();
    for (std::size_t slot = 0; slot < broker_refusals.size(); ++slot) {
        uint64_t count = broker_refusals[slot].load(std::memory_order_relaxed);
        if (count > 0) {
            nlohmann::json &sum =
                refusals[mosquitto_reason_string(FIRST_REFUSAL + static_cast<int>(slot))];
            sum = sum.is_null() ? count : sum.get<uint64_t>() + count;
        }
    }
    return refusals;
}

void InstanceStatus::ConnectionError(const std::string &line)
{
    Store(last_connection_error, line);
}

void InstanceStatus::LibraryError(const std::string &line)
{
    Store(last_library_error, line);
}

void InstanceStatus::SpoolReport(const std::string &dir, const std::string &state,
    const SpoolFigures &figures)
{
    for (std::size_t i = 0; i < spool_counts.size(); ++i) {
        spool_counts[i].store(figures.*SPOOL_COUNTS[i].second, std::memory_order_relaxed);
    }
    spool_oldest_age_ms.store(figures.oldest_age_ms, std::memory_order_relaxed);
    if (dir != told_spool_dir) {
        Store(spool_dir, dir);
        told_spool_dir = dir;
    }
    if (state != told_spool_state) {
        Store(spool_state, state);
        told_spool_state = state;
    }
    spool_configured.store(!dir.empty(), std::memory_order_release);
}

nlohmann::json InstanceStatus::SpoolObject() const
{
    if (!spool_configured.load()) {
        return nullptr;
    }
    nlohmann::json spool = {{"dir", Load(spool_dir)}, {"state", Load(spool_state)}};
    for (std::size_t i = 0; i < spool_counts.size(); ++i) {
        spool[SPOOL_COUNTS[i].first] = spool_counts[i].load();
    }
    spool["oldest_age_s"] = spool["payloads"] > 0
        ? nlohmann::json(spool_oldest_age_ms.load() / 1000)
        : nlohmann::json();
    return spool;
}

nlohmann::json InstanceStatus::Figures() const
{
    // Read before what they are taken from, so that the difference is never
    // below zero: a publish is counted published before it can be confirmed
    // or given up.
    uint64_t confirmed = messages_confirmed.load();
    uint64_t lost = messages_lost.load();
    uint64_t refused_by_broker = messages_refused_by_broker.load();
    uint64_t published = messages_published.load();
    auto limits = std::atomic_load(&broker_limits);
    nlohmann::json figures = {
        {"connection", link_name(link_state.load())},
        {"broker", Load(broker)},
        {"connected_since", utc_time(connected_at.load())},
        {"connections", connections.load()},
        {"connections_lost", connections_lost.load()},
        {"payloads_taken", payloads_taken.load()},
        {"messages_published", published},
        {"messages_confirmed", confirmed},
        {"messages_unconfirmed", published - confirmed - lost - refused_by_broker},
        {"messages_resent", messages_resent.load()},
        {"messages_lost", lost},
        {"messages_refused", messages_refused.load()},
        {"last_refusal", Load(last_refusal)},
        {"messages_refused_by_broker", refused_by_broker},
        {"broker_refusals", BrokerRefusals()},
        {"last_broker_refusal", Load(last_broker_refusal)},
        {"messages_possibly_lost", messages_possibly_lost.load()},
        {"protocol_version", Load(protocol_version)},
        {"broker_limits", limits ? *limits : nlohmann::json()},
        {"last_connection_error", Load(last_connection_error)},
        {"last_library_error", Load(last_library_error)},
    };
    // After payloads_taken: what it counts taken into the spool is in
    // the spool's figures read here.
    figures["spool"] = SpoolObject();
    return figures;
}
