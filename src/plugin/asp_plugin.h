/*
 * aspPlugin: one MQTT sink instance.
 *
 * The host creates it through agPluginInit, starts its worker thread
 * (Entry) and feeds it payloads through the inherited queue. Everything
 * that touches the broker runs on that one worker thread: the reload, the
 * connect step, the I/O pump, publishing and libmosquitto's callbacks.
 * Host threads only queue payloads, request reloads through DispatchEvent,
 * and call the identity and status operations.
 */
#ifndef TAVRIX_PLUGIN_ASP_PLUGIN_H
#define TAVRIX_PLUGIN_ASP_PLUGIN_H

#include <atomic>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include <host/tavrixd.h>

#include "broker_choice.h"
#include "broker_limits.h"
#include "give_up_rule.h"
#include "inflight_target.h"
#include "instance_status.h"
#include "liveness.h"
#include "publish_record.h"
#include "refusal_log.h"
#include "retry_backoff.h"
#include "spool_feed.h"
#include "topic_cache.h"
#include "version.h"
#include "wakeup.h"
#include "write_interest.h"

struct mosquitto;
struct SocketReadiness;

class aspPlugin : public agPluginSink
{
public:
    aspPlugin(const std::string &tag, const std::map<std::string, std::string> &params);
    virtual ~aspPlugin();

    /* Worker thread body. */
    void *Entry() override;
    /* Asks the worker to end, and wakes it so that it ends at once. */
    void Terminate() override;
    /* Queues the payload in the host's queue and wakes the worker when it
     * waits for one. */
    void QueuePayload(const std::shared_ptr<agPluginSinkPayload> &payload) override;

    void GetLibrary(std::string &library) override;
    void GetName(std::string &name) override;
    void GetVersion(std::string &version) override;
    void GetStatus(nlohmann::json &status) override;
    void DisplayStatus(const nlohmann::json &status) override;
    void DispatchEvent(agPlugin::Event event, void *param) override;

    /* Rereads the configuration file; throws agException on a file that
     * cannot be opened or parsed, or whose topic or QoS cannot publish. */
    void Reload();

    /* Creates or re-initialises the client and applies credentials,
     * callbacks and threaded mode; false (already logged) when there is
     * no usable client, or when the client id is one the library would
     * refuse (the client is then left as it was). */
    bool mqInit();
    /* The connect step: mqInit, TLS when a CA or the system's CA store is
     * configured, and the connect call, which only starts the connection:
     * the TCP connect and the MQTT handshake go on in the worker's wait.
     * Schedules the next attempt; a refused client id or TLS set-up ends
     * the step early. */
    void mqConnect();
    /* Clears `connected` and ends the attempt under way; with an open
     * socket, disconnects and flushes once. */
    void mqReset();
    void mqOnConnect(int rc);
    /* MQTT 5: the CONNACK's code and what its properties allow. */
    void mqOnConnack(int rc, const BrokerLimits &connack);
    void mqOnDisconnect(int rc);
    /* MQTT 5: the broker's DISCONNECT with its reason code. */
    void mqOnBrokerDisconnect(int reason);
    /* The library is done with `mid`: written (QoS 0) or acknowledged
     * with `reason` (QoS 1 and 2; MQTT 3.1.1: always 0). */
    void mqOnPublish(int mid, int reason);
    void mqOnPong(unsigned int count);
    /* libmosquitto's error lines (often the reason behind a failed
     * connection) go into the instance's figures. */
    void mqOnLibraryError(const char *text);
    /* Publishes the payload once per channel; false when a channel's
     * publish was refused (the other channels are published all the
     * same). */
    bool mqPublish(const std::shared_ptr<agPluginSinkPayload> &payload);
    /* The same for a payload the spool handed out as `ticket` (none:
     * not spooled). */
    bool mqPublish(const SpoolPayload &payload, SpoolTicket ticket);
    /* The liveness messages (liveness.h): the will on a new client, false
     * (already logged) when the library refuses it; the birth after a
     * CONNACK; the farewell at a clean stop. */
    bool mqSetWill();
    void mqPublishBirth();
    void mqSayFarewell();

    static constexpr const char *LIBRARY = "tavrix-sink-mqtt";
    static constexpr const char *NAME = "Tavrix MQTT Sink Plugin";
    static constexpr const char *VERSION = TAVRIX_VERSION;
    static constexpr int KEEPALIVE = 15;
    /* How long a connection attempt may take, from the end of its name
     * lookup to the broker's CONNACK, before it is abandoned and tried
     * again. */
    static constexpr std::chrono::seconds CONNECT_LIMIT{10};
    /* Payloads one pass hands to libmosquitto at the most. */
    static constexpr uint64_t DRAIN_BATCH = 1000;
    /* Payloads, and their bytes, one pass takes into the spool at the
     * most: one write, and a pass that stays short. */
    static constexpr uint64_t SPOOL_BATCH = 4096;
    static constexpr uint64_t SPOOL_BATCH_BYTES = 4 << 20;
    /* What a stop may spend moving the host's queue into the spool: the
     * host waits 2 s for the worker, and the farewell may take 1 s. */
    static constexpr std::chrono::milliseconds SPOOL_STOP_LIMIT{400};
    /* Publishes the record may hold unwritten (QoS 0) before the drain
     * waits; at QoS 1 and 2 the in-flight window takes its place. */
    static constexpr uint64_t UNCONFIRMED_LIMIT = 4096;
    /* Payload bytes the record may hold unconfirmed at any QoS: libmosquitto
     * keeps a copy of each, so large payloads and a wide window together
     * must not grow without bound. */
    static constexpr uint64_t UNCONFIRMED_BYTES = 32 << 20;
    /* The in-flight window at QoS 1 unless configured: libmosquitto's 20
     * caps a link at 20 messages per round trip, and brokers take QoS 1
     * publishes at any rate. As large as the hand-off lets be unconfirmed:
     * 80000 messages a second to a broker 50 ms away. */
    static constexpr int DEFAULT_WINDOW = static_cast<int>(UNCONFIRMED_LIMIT);
    /* At QoS 2 unless configured: brokers bound what a client has in
     * flight at QoS 2 (mosquitto drops a client with more than its
     * max_inflight_messages, 20 by default). */
    static constexpr int QOS2_WINDOW = 20;
    /* The will's QoS unless configured, and where it is not 0 to 2. */
    static constexpr int32_t DEFAULT_WILL_QOS = 1;
    /* The values of protocol_version. */
    static constexpr const char *PROTOCOL_311 = "3.1.1";
    static constexpr const char *PROTOCOL_5 = "5";
    /* Reason codes from here on are failures (MQTT 5). */
    static constexpr int FIRST_REFUSAL = 0x80;

    /* Live instances in the process; libmosquitto is initialised on its
     * 0 to 1 step and cleaned up on its 1 to 0 step. */
    static std::atomic<uint32_t> mq_global_ref;

private:
    /* Tests reach the instance's state through their one peer. */
    friend class PluginPeer;

    std::atomic<bool> reload_pending{true};
    bool connected = false;
    struct mosquitto *mosq = nullptr;
    /* The configuration members, one per key of config_keys.def, each with
     * its default until a reload reads the key. */
#define CONFIG_KEY(name, kind, type, initial, shown, help) type name = initial;
#include "config_keys.def"
#undef CONFIG_KEY
    std::string uuid_agent;
    std::string uuid_serial;
    std::string uuid_site;
    std::map<std::string, std::string> variables;

    /* Ends the worker's wait for a payload, a stop or a reload request. */
    WorkerWakeup wakeup;
    /* Each channel's expanded topic, cleared by every reload. */
    TopicCache topics;
    /* What libmosquitto was handed and has not confirmed, kept to be
     * published again after a broken connection. */
    PublishRecord record;
    /* A connect call has opened a socket whose CONNACK has not come yet. */
    bool connecting = false;
    /* What GetStatus reports, kept by the worker. */
    InstanceStatus status;
    /* How many QoS 1 and 2 publishes the connection needs in flight. */
    InflightTarget inflight;
    /* The will, birth and farewell of the connection. */
    Liveness liveness;
    /* The broker of `host` each attempt goes to. */
    BrokerChoice brokers;
    /* The disk spool, when spool_dir is set. */
    SpoolFeed spool{tag};

    void RefreshVariables();
    void ApplyConfiguration(nlohmann::json &document);
    /* Throws agException, naming the key, when the document would leave a
     * topic or QoS with which no publish can be made. */
    void RefuseUnpublishable(nlohmann::json &document);
    void ReportUnusableValues();
    std::string ClientId();
    bool RefuseClientId(const std::string &id);
    bool SetUpTls();
    void ReloadIfPending();
    void DrainPayloadQueue(std::shared_ptr<agPluginSinkPayload> &payload);
    void ConfigureSpool();
    /* The spool's share of a pass: payloads into it, connected or not,
     * and out of it to libmosquitto while the record has room. */
    void PassSpool(std::shared_ptr<agPluginSinkPayload> &payload);
    /* Returns how many it took. */
    uint64_t TakeIntoSpool(std::shared_ptr<agPluginSinkPayload> &payload);
    void HandOutSpooled(std::shared_ptr<agPluginSinkPayload> &payload);
    /* At a stop: what the host's queue still holds goes into the spool. */
    void SpoolRestOfQueue(std::shared_ptr<agPluginSinkPayload> &payload);
    bool TakesPayloads(bool want_write) const;
    int InflightWindow() const;
    uint64_t HandOffLimit() const;
    bool LibraryWindowIsApplied() const;
    /* Fewer publishes unconfirmed than `hand_off_limit`, and fewer bytes
     * than UNCONFIRMED_BYTES. */
    bool RecordHasRoom(uint64_t hand_off_limit) const;
    void ResendUnconfirmed();
    bool WorkWaits(bool takes_queue, bool takes_payloads);
    std::chrono::microseconds WaitLimit(bool takes_queue, bool takes_payloads);
    int WaitForSocket(int socket, bool library_wants, SocketReadiness &ready);
    void WaitForRetry();
    bool AttemptOverdue() const;
    void AbandonAttempt();
    void LogLinkFailure(const char *step, int rc, bool attempt);
    void ReportLinkFailure(const std::string &line);
    void ReportConnectionLoss();
    void EndConnection();
    void GiveUpOldest();
    int HandOver(const std::string &topic, const SpoolPayload &payload, int qos, bool retain,
        int &mid);
    void RefuseOversize(const std::string &topic, uint64_t length);
    void mqOnBrokerRefusal(int mid, int reason);
    /* Logs how many refusals each failing (topic, reason) pair had since it
     * was last told, when due (`all`: now). */
    void ReportRefusals(bool all);
    bool RunMisc(bool attempt);
    void PumpSocket(int socket);
    bool WriteStep(int socket, bool attempt);
    void AwaitFarewell();

    /* Set by mqInit when the client id was refused. */
    bool client_id_refused = false;
    /* Set once a configuration has been loaded: from then on a file that
     * cannot be read leaves the running configuration in place. */
    bool configuration_loaded = false;
    /* Whether the wait asks for the socket to be writable. */
    WriteInterest write_interest;
    /* When the connect call of the attempt under way returned: its
     * CONNACK_LIMIT counts from there, as the name lookup inside the call
     * may take a resolver's whole time-out and still succeed. */
    std::chrono::steady_clock::time_point connect_returned;
    std::string attempt_address;
    /* When the connect step may run again. */
    std::chrono::steady_clock::time_point next_attempt;
    RetryBackoff backoff;
    /* The current client speaks MQTT 5. */
    bool mqtt5 = false;
    /* What the current connection's broker takes. */
    BrokerLimits limits;
    /* Why the broker refused the attempt under way (MQTT 5), for its
     * failure line. */
    std::string connack_refusal;
    /* The current connection: when the broker accepted it, whether it
     * has acknowledged a publish, and the QoS 0 messages written since the
     * broker last sent anything. */
    std::chrono::steady_clock::time_point connected_since;
    bool acknowledged = false;
    uint64_t qos0_unanswered = 0;
    GiveUpRule give_up;
    RefusalLog refusals;
    /* The in-flight window the current client was given. */
    int applied_window = 20;
    /* When libmosquitto's housekeeping last ran, or the connection it
     * looks after was set up. */
    std::chrono::steady_clock::time_point last_misc = std::chrono::steady_clock::now();
};

#endif
