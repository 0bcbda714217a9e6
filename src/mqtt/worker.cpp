/*
 * The worker thread: reload, drain, connect or pump, once per pass, until
 * the host asks it to stop. libmosquitto's network thread is never
 * started; this loop drives the client's socket itself.
 *
 * The pass waits on the socket and on a wake-up pipe, so a payload, a stop
 * or a reload request is served at once rather than at the end of the
 * one-second wait. What the drain hands to libmosquitto is bounded: never
 * while the library still has unwritten data of earlier passes, never
 * more than a batch per pass, and never while many accepted publishes
 * still wait to be written or acknowledged. The rest waits in the host's
 * own bounded queue, whose policy then applies.
 */
#include <algorithm>
#include <cerrno>
#include <cstring>

#include <mosquitto.h>

#include "asp_plugin.h"
#include "socket_wait.h"

namespace {

// How often libmosquitto's housekeeping (keep-alive, retries) runs at the
// least, and how long an idle pass waits.
constexpr std::chrono::seconds MISC_INTERVAL{1};

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
        DrainPayloadQueue(payload);
        // libmosquitto answers -1 for a null client as for one without socket.
        int socket = mosquitto_socket(mosq);
        if (socket == -1) {
            mqConnect();
        } else {
            PumpSocket(socket);
        }
    } while (!terminate.load());
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
    } catch (...) {
        // Not served: the request stays for whoever looks after the failure.
        reload_pending.store(true);
        throw;
    }
}

bool aspPlugin::TakesPayloads(bool want_write) const
{
    // Unconnected, the drain drops what it pops and costs the library
    // nothing. Connected, it resumes only once half the limit is confirmed:
    // topping up one publish per acknowledgement would cost a pass each.
    return !connected || (!want_write && unconfirmed <= UNCONFIRMED_LIMIT / 2);
}

void aspPlugin::DrainPayloadQueue(std::shared_ptr<agPluginSinkPayload> &payload)
{
    uint64_t waiting = WaitOnPayloadQueue(0);
    if (waiting == 0) {
        return;
    }
    if (connected && !TakesPayloads(mosquitto_want_write(mosq))) {
        return;
    }
    // Never more than waited when the drain began: a host that queues as
    // fast as the worker pops would otherwise keep it from the socket.
    uint64_t limit = connected ? std::min<uint64_t>(waiting, DRAIN_BATCH) : waiting;
    for (uint64_t taken = 0; taken < limit; ++taken) {
        if (connected && unconfirmed >= UNCONFIRMED_LIMIT) {
            break;
        }
        if (!PopPayloadQueue(payload)) {
            break;
        }
        if (connected) {
            mqPublish(payload);
        }
    }
    payload.reset();
}

std::chrono::microseconds aspPlugin::WaitLimit(bool takes_payloads)
{
    bool work_waits = terminate.load() || reload_pending.load() ||
        (takes_payloads && WaitOnPayloadQueue(0) != 0);
    if (work_waits) {
        return std::chrono::microseconds(0);
    }
    auto since_misc = std::chrono::steady_clock::now() - last_misc;
    return std::chrono::duration_cast<std::chrono::microseconds>(MISC_INTERVAL - since_misc);
}

int aspPlugin::WaitForSocket(int socket, bool want_write, mq_readiness &ready)
{
    bool takes_payloads = TakesPayloads(want_write);
    // Armed before the last look at the queue: a payload queued after the
    // look wakes the wait, one queued before it shortens the wait to none.
    if (takes_payloads) {
        wakeup.arm();
    }
    int result = mq_wait_socket(socket, want_write, wakeup.fd(), WaitLimit(takes_payloads), ready);
    int wait_error = errno;
    wakeup.disarm();
    if (result > 0 && ready.woken) {
        wakeup.clear();
    }
    errno = wait_error;
    return result;
}

bool aspPlugin::RunMisc()
{
    last_misc = std::chrono::steady_clock::now();
    int rc = mosquitto_loop_misc(mosq);
    if (rc != MOSQ_ERR_SUCCESS) {
        ag_printf("%s: MQ misc: %s [%d]", tag.c_str(), mosquitto_strerror(rc), rc);
        mqReset();
        return false;
    }
    return true;
}

void aspPlugin::PumpSocket(int socket)
{
    mq_readiness ready;
    int result = WaitForSocket(socket, mosquitto_want_write(mosq), ready);
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
    bool misc_due = std::chrono::steady_clock::now() - last_misc >= MISC_INTERVAL;
    if ((result == 0 || misc_due) && !RunMisc()) {
        return;
    }
    if (ready.readable) {
        int rc = mosquitto_loop_read(mosq, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            ag_printf("%s: MQ read: %s [%d]", tag.c_str(), mosquitto_strerror(rc), rc);
            mqReset();
            return;
        }
    }
    if (ready.writable) {
        int rc = mosquitto_loop_write(mosq, 1);
        if (rc != MOSQ_ERR_SUCCESS) {
            // Logged with the read step's text, which log watchers know.
            ag_printf("%s: MQ read: %s [%d]", tag.c_str(), mosquitto_strerror(rc), rc);
            mqReset();
        }
    }
}
