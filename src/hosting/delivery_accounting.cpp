#include "delivery_accounting.h"

#include <atomic>

namespace {

std::atomic<bool> interposer_linked{false};

} // namespace

bool ClientLedger::interposed()
{
    return interposer_linked.load();
}

void ClientLedger::mark_interposed()
{
    interposer_linked.store(true);
}

ClientLedger &ClientLedger::process()
{
    // Never destroyed: the plug-in's worker may report to it while the
    // program exits.
    static ClientLedger *ledger = new ClientLedger;
    return *ledger;
}

DeliveryCounts ClientLedger::counts() const
{
    std::lock_guard<std::mutex> guard(lock);
    return totals;
}

std::string ClientLedger::last_library_error() const
{
    std::lock_guard<std::mutex> guard(lock);
    return error_line;
}

void ClientLedger::set_listener(std::function<void()> listener_)
{
    std::lock_guard<std::mutex> guard(lock);
    listener = std::move(listener_);
}

void ClientLedger::notify()
{
    std::function<void()> call;
    {
        std::lock_guard<std::mutex> guard(lock);
        call = listener;
    }
    if (call) {
        call();
    }
}

bool ClientLedger::knows(const mosquitto *client) const
{
    std::lock_guard<std::mutex> guard(lock);
    return clients.count(client) != 0;
}

void ClientLedger::adopt(const mosquitto *client)
{
    std::lock_guard<std::mutex> guard(lock);
    clients.emplace(client, Record());
}

void ClientLedger::set_callback(const mosquitto *client, ClientHook hook, void *callback)
{
    std::lock_guard<std::mutex> guard(lock);
    clients[client].callbacks[static_cast<int>(hook)] = callback;
}

void *ClientLedger::callback(const mosquitto *client, ClientHook hook) const
{
    std::lock_guard<std::mutex> guard(lock);
    auto found = clients.find(client);
    return found == clients.end() ? nullptr : found->second.callbacks[static_cast<int>(hook)];
}

bool ClientLedger::claim_publish_hook(const mosquitto *client)
{
    std::lock_guard<std::mutex> guard(lock);
    Record &record = clients[client];
    bool claim = !record.publish_hooked;
    record.publish_hooked = true;
    return claim;
}

bool ClientLedger::published(const mosquitto *client)
{
    std::lock_guard<std::mutex> guard(lock);
    Record &record = clients[client];
    ++record.unconfirmed;
    if (record.awaiting_resend > 0) {
        --record.awaiting_resend;
        ++totals.resent;
        return true;
    }
    ++totals.accepted;
    return false;
}

void ClientLedger::refused(const mosquitto *client, bool resend)
{
    bool news = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        // Counted as taken before the library answered (its callback may
        // come first in unthreaded mode); taken back now.
        --clients[client].unconfirmed;
        if (resend) {
            // The plug-in gives such a publish up.
            --totals.resent;
            ++totals.lost;
            news = true;
        } else {
            --totals.accepted;
            ++totals.refused;
        }
    }
    if (news) {
        notify();
    }
}

void ClientLedger::confirmed(const mosquitto *client)
{
    bool settled = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        Record &record = clients[client];
        // A confirmation for nothing outstanding (none should come) must
        // not make others look confirmed.
        if (record.unconfirmed == 0) {
            return;
        }
        --record.unconfirmed;
        ++totals.confirmed;
        settled = totals.outstanding() == 0;
    }
    if (settled) {
        notify();
    }
}

void ClientLedger::connect_result(const mosquitto *client, int rc)
{
    {
        std::lock_guard<std::mutex> guard(lock);
        Record &record = clients[client];
        if (rc != 0 || record.connected) {
            return;
        }
        record.connected = true;
        ++totals.connections;
    }
    notify();
}

bool ClientLedger::end_connection(Record &record)
{
    if (!record.connected) {
        return false;
    }
    record.connected = false;
    ++totals.disconnections;
    return true;
}

void ClientLedger::disconnected(const mosquitto *client)
{
    bool ended = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        ended = end_connection(clients[client]);
    }
    if (ended) {
        notify();
    }
}

void ClientLedger::dropped(const mosquitto *client, bool forget)
{
    bool news = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        auto found = clients.find(client);
        if (found == clients.end()) {
            return;
        }
        Record &record = found->second;
        news = end_connection(record) || record.unconfirmed > 0;
        if (forget) {
            totals.lost += record.unconfirmed + record.awaiting_resend;
            clients.erase(found);
        } else {
            // libmosquitto clears a re-initialised client's callbacks; the
            // plug-in keeps what the client held, to hand it over again.
            uint64_t awaiting = record.awaiting_resend + record.unconfirmed;
            record = Record();
            record.awaiting_resend = awaiting;
        }
    }
    if (news) {
        notify();
    }
}

void ClientLedger::library_error(const char *text)
{
    std::lock_guard<std::mutex> guard(lock);
    error_line = text == nullptr ? "" : text;
}
