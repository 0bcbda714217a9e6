/*
 * Delivery accounting: what libmosquitto itself did with the publishes of
 * the hosted plug-in's clients, learnt without its debug text.
 *
 * A program that wants it links the interposer (tavrix_mosquitto_interposer):
 * the program then defines the few libmosquitto entry points the plug-in
 * calls to publish and to set up its client, and forwards each to the
 * library unchanged, the plug-in's own callbacks included. The plug-in,
 * loaded later, binds to the program's definitions first. Only clients the
 * plug-in drives are counted; the program's own clients (a test's
 * subscriber, say) pass through untouched.
 *
 * A publish is confirmed when libmosquitto's publish callback fires for
 * it: once a QoS 0 message has been written to the socket, once a QoS 1 or
 * 2 flow has completed. A re-initialise of the client drops whatever is
 * still queued or in flight, and the plug-in hands exactly that over again,
 * first and in order, on its next connection: the client's next publishes
 * are counted as re-sent, not as new. What a destroyed client still held
 * is lost.
 */
#ifndef TAVRIX_HOSTING_DELIVERY_ACCOUNTING_H
#define TAVRIX_HOSTING_DELIVERY_ACCOUNTING_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>

struct mosquitto;

struct DeliveryCounts {
    uint64_t accepted = 0;       // publishes libmosquitto took, each once
    uint64_t resent = 0;         // of these, hand-overs again after a re-initialise
    uint64_t refused = 0;        // publishes libmosquitto refused
    uint64_t confirmed = 0;      // written (QoS 0) or acknowledged (QoS 1, 2)
    uint64_t lost = 0;           // dropped unconfirmed by a destroy, or refused when re-sent
    uint64_t connections = 0;    // connections the broker accepted
    uint64_t disconnections = 0; // of these, the ones that have ended

    /* Taken and neither confirmed nor lost yet (waiting to be re-sent
     * included). */
    uint64_t outstanding() const { return accepted - confirmed - lost; }
    bool connected() const { return connections > disconnections; }
};

/* The callbacks a client of the plug-in's registered, which the ledger's
 * own stand in for at libmosquitto. */
enum class ClientHook { PUBLISH, CONNECT, DISCONNECT, LOG, COUNT };

/* Per-client records and the totals over them. Thread-safe. */
class ClientLedger
{
public:
    /* The ledger the interposer feeds. */
    static ClientLedger &process();
    /* Whether this program has the interposer linked in. */
    static bool interposed();
    static void mark_interposed();

    DeliveryCounts counts() const;
    /* libmosquitto's last error line (often the reason behind a failed
     * connection); empty if none. */
    std::string last_library_error() const;
    /* Called outside the ledger's lock when a connection is accepted or
     * ends, when publishes are lost, and when the last outstanding publish
     * is confirmed. Empty: nobody. */
    void set_listener(std::function<void()> listener);

    /* The interposer's side. A client is counted from its first adoption
     * until it is forgotten. */
    bool knows(const mosquitto *client) const;
    void adopt(const mosquitto *client);
    void set_callback(const mosquitto *client, ClientHook hook, void *callback);
    void *callback(const mosquitto *client, ClientHook hook) const;
    /* True once after every (re-)initialise: the caller installs the
     * ledger's publish callback. */
    bool claim_publish_hook(const mosquitto *client);
    /* True when the publish re-sends one the last re-initialise dropped. */
    bool published(const mosquitto *client);
    void refused(const mosquitto *client, bool resend);
    void confirmed(const mosquitto *client);
    void connect_result(const mosquitto *client, int rc);
    void disconnected(const mosquitto *client);
    /* libmosquitto dropped the client's queue: what was unconfirmed waits
     * to be re-sent, or, with `forget` (the client is gone for good), is
     * lost. */
    void dropped(const mosquitto *client, bool forget);
    void library_error(const char *text);

private:
    struct Record {
        void *callbacks[static_cast<int>(ClientHook::COUNT)] = {};
        bool publish_hooked = false;
        bool connected = false;
        uint64_t unconfirmed = 0;
        uint64_t awaiting_resend = 0;
    };

    void notify();
    bool end_connection(Record &record);

    mutable std::mutex lock;
    std::unordered_map<const mosquitto *, Record> clients;
    DeliveryCounts totals;
    std::string error_line;
    std::function<void()> listener;
};

#endif
