/*
 * The worker thread: reload, drain, connect or pump, once per pass, until
 * the host asks it to stop. libmosquitto's network thread is never
 * started; this loop drives the client's socket itself.
 */
#include <cerrno>
#include <cstring>

#include <mosquitto.h>

#include "asp_plugin.h"
#include "socket_wait.h"

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

void aspPlugin::DrainPayloadQueue(std::shared_ptr<agPluginSinkPayload> &payload)
{
    if (WaitOnPayloadQueue(0) == 0) {
        return;
    }
    while (PopPayloadQueue(payload)) {
        if (connected) {
            mqPublish(payload);
        }
    }
    payload.reset();
}

void aspPlugin::PumpSocket(int socket)
{
    mq_readiness ready;
    int result = mq_wait_socket(socket, mosquitto_want_write(mosq), ready);
    if (result == -1) {
        // A signal is no reason to give up the connection: the next pass
        // waits again.
        if (errno == EINTR) {
            return;
        }
        throw agException("%s: %s: %s", tag.c_str(), "select", strerror(errno));
    }
    if (result == 0) {
        int rc = mosquitto_loop_misc(mosq);
        if (rc != MOSQ_ERR_SUCCESS) {
            ag_printf("%s: MQ misc: %s [%d]", tag.c_str(), mosquitto_strerror(rc), rc);
            mqReset();
        }
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
