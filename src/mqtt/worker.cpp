/*
 * The worker thread: reload, hand over, then connect, wait to retry or
 * pump the socket, once per pass, until the host asks it to stop.
 * libmosquitto's network thread is never started; this loop drives the
 * client's socket itself.
 *
 * Nothing is taken from the host's queue until the broker has accepted
 * the connection: payloads wait there, under the host's own bound and
 * policy, through a connect, an outage and the retries; with a spool
 * (spool_pass.cpp) every pass takes them into it instead. Whatever a broken
 * connection left unconfirmed is published again first on the next one,
 * after only the birth message; a clean stop ends with the farewell
 * (liveness.h).
 *
 * Every wait of the pass (on the socket, or for the next attempt) also
 * waits on a wake-up pipe, so a stop or a reload request is served at
 * once, and so is a payload while the worker would take one. What the
 * drain hands to libmosquitto is bounded: never while the library still
 * has unwritten data of earlier passes, never more than a batch per pass,
 * and never while many publishes still wait to be written or
 * acknowledged.
 */
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <mosquitto.h>

#include "asp_plugin.h"
#include "socket_wait.h"

namespace {

// How often libmosquitto's housekeeping (keep-alive, retries) runs at the
// least, and how long an idle wait lasts.
constexpr std::chrono::seconds MISC_INTERVAL{1};

using Clock = std::chrono::steady_clock;

std::chrono::microseconds until(Clock::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
}

} // namespace

void *aspPlugin::Entry()
{
    ag_printf("%s: %s v%s, publishing to MQTT.\n", tag.c_str(), NAME, VERSION);
    if (terminate.load()) {
        return nullptr;
    }
    // One handle for the whole loop: each pop replaces (and releases) the
    // payload before it.
    std::shared_ptr<agPluginSinkPayload> payload;
    do {
        ReloadIfPending();
        if (connected) {
            mqPublishBirth();
            ResendUnconfirmed();
        }
        // A payload the spool refused is published before the queue's, also
        // when a reload took the spool away meanwhile.
        if (spool.Configured() || spool.held) {
            PassSpool(payload);
        } else {
            DrainPayloadQueue(payload);
        }
        if (connected || connecting) {
            PumpSocket(mosquitto_socket(mosq));
        } else if (Clock::now() >= next_attempt) {
            mqConnect();
        } else {
            WaitForRetry();
        }
        ReportRefusals(false);
    } while (!terminate.load());
    ReportRefusals(true);
    SpoolRestOfQueue(payload);
    mqSayFarewell();
    // What the farewell's wait saw confirmed is done on disk too.
    spool.Finish(status);
    return nullptr;
}

void aspPlugin::ReloadIfPending()
{
    // Taken before the file is read: a request made while the reload runs
    // may come after the read, and is served by the next pass.
    if (!reload_pending.exchange(false)) {
        return;
    }
    try {
        Reload();
    } catch (const agException &e) {
        if (!configuration_loaded) {
            // Nothing to run with: the request stays for whoever looks
            // after the failure.
            reload_pending.store(true);
            throw;
        }
        // A file caught half-written, or broken by an edit, must not end a
        // sink that runs well: the next request reads it again.
        ag_printf("%s\n", e.what());
        ag_printf("%s: configuration not reloaded: the running configuration stays\n",
            tag.c_str());
        return;
    } catch (...) {
        reload_pending.store(true);
        throw;
    }
    configuration_loaded = true;
    ConfigureSpool();
    // New broker settings may be what the retries have waited for.
    if (!connected && !connecting) {
        next_attempt = Clock::now();
    }
}

// After a reconnect, before anything newer: what the last connection left
// unconfirmed, in its order.
void aspPlugin::ResendUnconfirmed()
{
    if (!record.HasUnsent()) {
        return;
    }
    std::size_t resent = record.Resend([this](const PublishRecord::Entry &entry) {
        int mid = PublishRecord::UNSENT;
        int rc = HandOver(*entry.topic, entry.payload, entry.qos, entry.retain, mid);
        // A broker of a smaller packet size than the last one's.
        if (rc == MOSQ_ERR_OVERSIZE_PACKET) {
            RefuseOversize(*entry.topic, entry.payload.length);
            spool.Settle(entry.ticket);
            return PublishRecord::UNSENT;
        }
        if (rc != MOSQ_ERR_SUCCESS) {
            ag_printf("%s: MQ Publish: %s: %s.\n", tag.c_str(), entry.topic->c_str(),
                mosquitto_strerror(rc));
            status.Lost();
            spool.Settle(entry.ticket);
            return PublishRecord::UNSENT;
        }
        status.Resent();
        return mid;
    });
    ag_printf("%s: published again %zu messages the last connection left unconfirmed\n",
        tag.c_str(), resent);
}

// At QoS 1 and 2 no more than the path needs in flight, within the
// window: a publish beyond the window would only wait in libmosquitto's
// queue. A QoS raised by a reload keeps to its own window until the next
// connection applies it. At a full window wider than the target's floor,
// though, a batch more waits there: libmosquitto walks its whole list at
// each publish while its window has room, and with none left a publish
// costs no walk, so a far broker's full window costs the library one walk
// per message, not two.
uint64_t aspPlugin::HandOffLimit() const
{
    if (message_qos == 0) {
        return UNCONFIRMED_LIMIT;
    }
    const uint64_t window = static_cast<uint64_t>(std::min(applied_window, InflightWindow()));
    const uint64_t limit = inflight.Limit(window);
    const bool full_window = limit == static_cast<uint64_t>(applied_window) &&
        limit > InflightTarget::FLOOR && LibraryWindowIsApplied();
    return full_window ? limit + DRAIN_BATCH : limit;
}

// libmosquitto's window is the one mqInit gave it, but under MQTT 5 the
// broker's Receive Maximum replaces it, also where that is the larger.
bool aspPlugin::LibraryWindowIsApplied() const
{
    return !mqtt5 || limits.Window(BrokerLimits::NO_WINDOW_LIMIT) == applied_window;
}

// Topped up as soon as the window has room: a worker that waited for half
// of it to be acknowledged would send nothing meanwhile, and a broker that
// holds its small acknowledgements back (Nagle's algorithm) until the
// client sends would then wait for the client's delayed TCP ACK instead.
bool aspPlugin::TakesPayloads(bool want_write) const
{
    return connected && !want_write && RecordHasRoom(HandOffLimit());
}

bool aspPlugin::RecordHasRoom(uint64_t hand_off_limit) const
{
    return record.Size() < hand_off_limit && record.Bytes() < UNCONFIRMED_BYTES;
}

void aspPlugin::DrainPayloadQueue(std::shared_ptr<agPluginSinkPayload> &payload)
{
    if (!connected) {
        return;
    }
    uint64_t waiting = WaitOnPayloadQueue(0);
    if (waiting == 0 || !TakesPayloads(write_interest.Pending(mosquitto_want_write(mosq)))) {
        return;
    }
    // Never more than waited when the drain began: a host that queues as
    // fast as the worker pops would otherwise keep it from the socket.
    uint64_t limit = std::min<uint64_t>(waiting, DRAIN_BATCH);
    const uint64_t hand_off_limit = HandOffLimit();
    for (uint64_t taken = 0; taken < limit && RecordHasRoom(hand_off_limit); ++taken) {
        if (!PopPayloadQueue(payload)) {
            break;
        }
        mqPublish(payload);
        // Counted once handed over: a host that sees every payload taken
        // sees every publish of it made.
        status.PayloadTaken();
    }
    payload.reset();
}

// Payloads the pass would take from the queue (`takes_queue`: into the
// spool, or to publish) or hand over from the spool (`takes_payloads`).
bool aspPlugin::WorkWaits(bool takes_queue, bool takes_payloads)
{
    return terminate.load() || reload_pending.load() ||
        (takes_queue && WaitOnPayloadQueue(0) != 0) || (takes_payloads && spool.Waiting());
}

// The spool's sync ends the wait too.
std::chrono::microseconds aspPlugin::WaitLimit(bool takes_queue, bool takes_payloads)
{
    if (WorkWaits(takes_queue, takes_payloads)) {
        return std::chrono::microseconds(0);
    }
    return until(std::min(last_misc + MISC_INTERVAL, spool.WakeBy()));
}

int aspPlugin::WaitForSocket(int socket, bool library_wants, SocketReadiness &ready)
{
    bool takes_payloads = TakesPayloads(write_interest.Pending(library_wants));
    // A spool takes payloads whatever the connection does: while no
    // connection is up, and while a full record holds them back.
    bool takes_queue = takes_payloads || spool.Taking();
    // The in-flight target, not the socket, holds payloads back: it may
    // grow. With a spool they wait there, not in the host's queue.
    if (connected && message_qos > 0 && record.Size() >= HandOffLimit() &&
        (WaitOnPayloadQueue(0) != 0 || spool.Waiting())) {
        inflight.Starved();
    }
    // Armed before the last look at the queue: a payload queued after the
    // look wakes the wait, one queued before it shortens the wait to none.
    if (takes_queue) {
        wakeup.Arm();
    }
    int result = mq_wait_socket(socket, write_interest.Wanted(library_wants, connecting),
        wakeup.Fd(), WaitLimit(takes_queue, takes_payloads), ready);
    int wait_error = errno;
    wakeup.Disarm();
    if (result > 0 && ready.woken) {
        wakeup.Clear();
    }
    errno = wait_error;
    return result;
}

// Between attempts nothing is taken from the queue but into a spool, so
// only a stop, a reload request or a payload for the spool ends the wait
// early. A second at a time at the most, so that a worker without a
// wake-up pipe still sees a stop.
void aspPlugin::WaitForRetry()
{
    bool takes_queue = spool.Taking();
    if (takes_queue) {
        wakeup.Arm();
    }
    if (WorkWaits(takes_queue, false)) {
        wakeup.Disarm();
        return;
    }
    SocketReadiness ready;
    auto limit = std::min<std::chrono::microseconds>(
        {until(next_attempt), until(spool.WakeBy()), MISC_INTERVAL});
    int result = mq_wait_socket(-1, false, wakeup.Fd(), limit, ready);
    wakeup.Disarm();
    if (result == -1 && errno != EINTR) {
        throw agException("%s: %s: %s", tag.c_str(), "select", strerror(errno));
    }
    if (result > 0 && ready.woken) {
        wakeup.Clear();
    }
}

bool aspPlugin::AttemptOverdue() const
{
    return connecting && Clock::now() - connect_returned >= CONNECT_LIMIT;
}

// A black-holed address or a broker that accepted the socket but says
// nothing: the attempt is given up and made again later, rather than left
// to the kernel's time-out of minutes.
void aspPlugin::AbandonAttempt()
{
    ReportLinkFailure("MQ connect: " + attempt_address + ": no CONNACK within " +
        std::to_string(CONNECT_LIMIT.count()) + " s [" + std::to_string(MOSQ_ERR_TIMEOUT) + "]");
    mqReset();
}

// Until the CONNACK, a failure is the attempt's: one line per failed
// attempt, naming where it went. `attempt` is taken before the failing
// call, whose disconnect callback has already ended the attempt.
void aspPlugin::LogLinkFailure(const char *step, int rc, bool attempt)
{
    // mosquitto_strerror reads errno for some codes: asked first.
    std::string text = mosquitto_strerror(rc);
    std::string where = attempt ? "connect: " + attempt_address : step;
    // libmosquitto calls an MQTT 5 refusal a protocol error.
    if (attempt && !connack_refusal.empty()) {
        ReportLinkFailure("MQ " + where + ": " + connack_refusal);
        connack_refusal.clear();
        return;
    }
    ReportLinkFailure("MQ " + where + ": " + text + " [" + std::to_string(rc) + "]");
}

void aspPlugin::ReportLinkFailure(const std::string &line)
{
    ag_printf("%s: %s", tag.c_str(), line.c_str());
    status.ConnectionError(line);
}

// Until the CONNACK the attempt's own limit watches the connection:
// libmosquitto's keep-alive counts from before the name lookup, and would
// end an attempt whose lookup took longer than the keep-alive.
bool aspPlugin::RunMisc(bool attempt)
{
    last_misc = Clock::now();
    if (attempt) {
        return true;
    }
    int rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
        LogLinkFailure("misc", rc, false);
        mqReset();
        return false;
    }
    return true;
}

/*
 * What the wait asks for is the write interest's (write_interest.h). While
 * the attempt is under way a TLS handshake advances only in the library's
 * read step, also when it waits to write, so every ready pass of the
 * attempt runs the read step and then the write step; so does a pass that
 * timed out once the socket has opened, so that no readiness the wait did
 * not ask for can hold a handshake to the attempt's limit.
 */
void aspPlugin::PumpSocket(int socket)
{
    if (socket == -1) {
        // Closed inside the library without a failed loop call: gone all
        // the same.
        mqReset();
        return;
    }
    if (AttemptOverdue()) {
        AbandonAttempt();
        return;
    }
    bool handshaking = connecting;
    bool library_wants = mosquitto_want_write(mosq);
    // The wait will not ask to write for a stale want: what the pass has
    // handed over since is written now.
    if (write_interest.Stale(library_wants)) {
        if (!WriteStep(socket, handshaking)) {
            return;
        }
        library_wants = mosquitto_want_write(mosq);
    }
    SocketReadiness ready;
    int result = WaitForSocket(socket, library_wants, ready);
    if (result == -1) {
        // A signal is no reason to give up the connection: the next pass
        // waits again.
        if (errno == EINTR) {
            return;
        }
        throw agException("%s: %s: %s", tag.c_str(), "select", strerror(errno));
    }
    // Also when wake-ups keep every wait short: the keep-alive must not
    // starve under a steady stream of payloads.
    bool misc_due = Clock::now() - last_misc >= MISC_INTERVAL;
    if ((result == 0 || misc_due) && !RunMisc(handshaking)) {
        return;
    }
    write_interest.Waited(ready.readable, ready.writable);
    bool attempt_step = handshaking &&
        (ready.readable || ready.writable || (result == 0 && write_interest.Opened()));
    if (ready.readable || attempt_step) {
        int rc = mosquitto_loop_read(mosq, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            LogLinkFailure("read", rc, handshaking);
            mqReset();
            return;
        }
        // The broker has read what came before whatever it sent.
        if (ready.readable) {
            qos0_unanswered = 0;
        }
    }
    // A handshake finished by the read step leaves the CONNECT to write.
    if (ready.writable || attempt_step) {
        WriteStep(socket, handshaking);
    }
}

// False (logged, and the connection reset) when the write failed.
bool aspPlugin::WriteStep(int socket, bool attempt)
{
    int rc = mosquitto_loop_write(mosq, 1);
    if (rc != MOSQ_ERR_SUCCESS) {
        // Logged with the read step's text, which log watchers know.
        LogLinkFailure("read", rc, attempt);
        mqReset();
        return false;
    }
    // Probed only when the library still wants to write: a socket it left
    // writable is no packet waiting for room.
    bool wants = mosquitto_want_write(mosq);
    write_interest.Wrote(wants, wants && mq_socket_writable(socket));
    return true;
}
