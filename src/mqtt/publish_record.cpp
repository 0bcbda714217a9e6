#include "publish_record.h"

#include <algorithm>

void PublishRecord::Add(const SpoolPayload &payload, SpoolTicket ticket, SharedTopic topic,
    int qos, bool retain, int mid)
{
    bytes += payload.length;
    entries.push_back(
        Entry{payload, ticket, std::move(topic), qos, retain, mid, false, HandedAt(qos),
            next_serial++});
}

// Only an acknowledgement's latency tells of the path; a QoS 0 write does
// not, so its hot path reads no clock.
std::chrono::steady_clock::time_point PublishRecord::HandedAt(int qos)
{
    return qos > 0 ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point{};
}

void PublishRecord::Release(Entry &entry)
{
    if (entry.payload.owner) {
        bytes -= entry.payload.length;
        entry.payload = SpoolPayload();
    }
}

std::optional<PublishRecord::Confirmation> PublishRecord::Confirm(int mid, std::string *topic)
{
    // Confirmations come in the order of hand-over but for QoS 2 flows
    // overtaking QoS 1 ones, so the search from the oldest rarely goes far.
    auto found = std::find_if(entries.begin(), entries.end(),
        [mid](const Entry &entry) { return entry.mid == mid && !entry.confirmed; });
    if (mid == UNSENT || found == entries.end()) {
        return std::nullopt;
    }
    const auto now = found->qos > 0 ? std::chrono::steady_clock::now()
                                    : std::chrono::steady_clock::time_point{};
    Confirmation confirmation{found->qos,
        found->qos > 0 ? now - found->handed_at : std::chrono::steady_clock::duration::zero(),
        found->ticket, now};
    if (topic != nullptr) {
        *topic = *found->topic;
    }
    found->confirmed = true;
    Release(*found);
    PopConfirmed();
    return confirmation;
}

// A confirmed publish behind an unconfirmed one stays, marked, until the
// older one is done: the record is a queue, and so is its replay.
void PublishRecord::PopConfirmed()
{
    while (!entries.empty() && entries.front().confirmed) {
        entries.pop_front();
    }
}

std::size_t PublishRecord::ForgetClient()
{
    entries.erase(std::remove_if(entries.begin(), entries.end(),
                      [](const Entry &entry) { return entry.confirmed; }),
        entries.end());
    for (Entry &entry : entries) {
        entry.mid = UNSENT;
    }
    unsent = entries.size();
    return unsent;
}

std::size_t PublishRecord::Resend(const std::function<int(const Entry &)> &send)
{
    std::size_t sent = 0;
    for (auto entry = entries.begin(); unsent > 0 && entry != entries.end();) {
        if (entry->mid != UNSENT) {
            ++entry;
            continue;
        }
        --unsent;
        int mid = send(*entry);
        if (mid == UNSENT) {
            Release(*entry);
            entry = entries.erase(entry);
            continue;
        }
        entry->mid = mid;
        entry->handed_at = HandedAt(entry->qos);
        ++sent;
        ++entry;
    }
    return sent;
}

// The front is never confirmed: confirmed publishes leave it at once.
std::optional<uint64_t> PublishRecord::OldestSerial() const
{
    if (entries.empty()) {
        return std::nullopt;
    }
    return entries.front().serial;
}

std::optional<PublishRecord::Entry> PublishRecord::DropOldest()
{
    if (entries.empty()) {
        return std::nullopt;
    }
    Entry oldest = std::move(entries.front());
    entries.pop_front();
    if (oldest.mid == UNSENT && unsent > 0) {
        --unsent;
    }
    bytes -= oldest.payload.length;
    PopConfirmed();
    return oldest;
}

std::size_t PublishRecord::Unconfirmed() const
{
    return static_cast<std::size_t>(std::count_if(entries.begin(), entries.end(),
        [](const Entry &entry) { return !entry.confirmed; }));
}
