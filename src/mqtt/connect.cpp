/*
 * The connect step: one client for the instance's whole life, brought back
 * to a new client's state before every attempt.
 *
 * The step never waits for the network. The connect call starts the TCP
 * connection and queues the CONNECT; the worker's wait on the socket
 * carries both through, and the CONNACK read there ends the attempt. So a
 * broker that answers nothing holds neither the worker nor the host that
 * stops it. The one wait left inside is the name lookup of a host name
 * (libmosquitto's getaddrinfo), which the attempt's limit does not count.
 */
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <mosquitto.h>
#include <openssl/ssl.h>

#include "asp_plugin.h"
#include "broker_list.h"
#include "callbacks.h"

namespace {

// Passwords are not for log files.
constexpr const char *PASSWORD_MASK = "********";

const char *or_null(const std::string &text)
{
    return text.empty() ? nullptr : text.c_str();
}

std::string expand(const std::string &setting, std::map<std::string, std::string> &variables)
{
    std::string expanded;
    if (!setting.empty()) {
        ag_expand_variables(setting, expanded, variables);
    }
    return expanded;
}

// MQTT carries the client id as a string with a 16-bit length.
constexpr std::size_t MAX_CLIENT_ID = 65535;

/* The system store's directory as OpenSSL's own default look-up finds it:
 * SSL_CERT_DIR, else the directory OpenSSL was built with. */
std::string mq_os_cert_dir()
{
    const char *set = std::getenv(X509_get_default_cert_dir_env());
    return set != nullptr && *set != '\0' ? set : X509_get_default_cert_dir();
}

/* One line and the instance's last connection error; false, for the
 * caller to return: the attempt ends there. */
bool tls_refused(const std::string &tag, InstanceStatus &status, const std::string &what, int rc)
{
    std::string line = what + ": " + mosquitto_strerror(rc) + " [" + std::to_string(rc) + "]";
    ag_printf("%s: %s", tag.c_str(), line.c_str());
    status.ConnectionError(line);
    return false;
}

} // namespace

/* The configured client id with its variables expanded, or the agent
 * UUID where none is configured. */
std::string aspPlugin::ClientId()
{
    if (client_id.empty()) {
        return uuid_agent;
    }
    std::map<std::string, std::string> scratch(variables);
    return expand(client_id, scratch);
}

/*
 * libmosquitto 2.0.11 tears a client down before it validates the new
 * client id, and a refused id leaves the torn-down client with descriptor
 * 0 as its socket, which its destruction then closes: the host's standard
 * input. Ids the library would refuse are therefore refused here, before
 * the library sees them, with the result the library would have given.
 * The client itself is kept as it was: it has no socket (the connect step
 * runs only then), and a later attempt with a usable id re-initialises it.
 */
bool aspPlugin::RefuseClientId(const std::string &id)
{
    int rc = MOSQ_ERR_SUCCESS;
    if (id.empty() || id.size() > MAX_CLIENT_ID) {
        rc = MOSQ_ERR_INVAL;
    } else {
        rc = mosquitto_validate_utf8(id.c_str(), static_cast<int>(id.size()));
    }
    if (rc == MOSQ_ERR_SUCCESS) {
        return false;
    }
    if (mosq == nullptr) {
        ag_printf("%s: New MQTT context: %s: %s\n", tag.c_str(), id.c_str(), strerror(EINVAL));
        status.ConnectionError("New MQTT context: " + id + ": " + strerror(EINVAL));
    } else {
        ag_printf("%s: Reinitialise MQTT context: %s [%d]", tag.c_str(), mosquitto_strerror(rc), rc);
        status.ConnectionError(std::string("Reinitialise MQTT context: ") +
            mosquitto_strerror(rc) + " [" + std::to_string(rc) + "]");
    }
    return true;
}

bool aspPlugin::mqInit()
{
    connected = false;
    connecting = false;
    const std::string id = ClientId();
    client_id_refused = RefuseClientId(id);
    if (client_id_refused) {
        return false;
    }
    if (mosq != nullptr) {
        // Whatever the old client still held goes with it; the record
        // hands it to the new one once the broker has accepted it.
        record.ForgetClient();
        int rc = mosquitto_reinitialise(mosq, id.c_str(), true, this);
        if (rc != MOSQ_ERR_SUCCESS) {
            ag_printf("%s: Reinitialise MQTT context: %s [%d]", tag.c_str(),
                mosquitto_strerror(rc), rc);
            status.ConnectionError(std::string("Reinitialise MQTT context: ") +
                mosquitto_strerror(rc) + " [" + std::to_string(rc) + "]");
            return false;
        }
    } else {
        mosq = mosquitto_new(id.c_str(), true, this);
        if (mosq == nullptr) {
            const char *reason = strerror(errno);
            ag_printf("%s: New MQTT context: %s: %s\n", tag.c_str(), id.c_str(), reason);
            status.ConnectionError("New MQTT context: " + id + ": " + reason);
            return false;
        }
    }

    if (!user.empty() && !pass.empty()) {
        ag_dprintf("%s: using credentials: %s/%s\n", tag.c_str(), user.c_str(), PASSWORD_MASK);
        int rc = mosquitto_username_pw_set(mosq, user.c_str(), pass.c_str());
        if (rc != MOSQ_ERR_SUCCESS) {
            ag_printf("%s: username_pw_set: %s/%s: %s [%d]", tag.c_str(), user.c_str(),
                PASSWORD_MASK, mosquitto_strerror(rc), rc);
        }
    }

    mqtt5 = protocol_version == PROTOCOL_5;
    mq_register_callbacks(mosq, mqtt5);
    mosquitto_int_option(
        mosq, MOSQ_OPT_PROTOCOL_VERSION, mqtt5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    status.Protocol(mqtt5 ? PROTOCOL_5 : PROTOCOL_311);
    limits = BrokerLimits();
    mosquitto_threaded_set(mosq, true);
    // Every initialise brings libmosquitto's window back to 20. The option
    // is documented for MQTT 5, yet libmosquitto applies it to 3.1.1 too.
    applied_window = InflightWindow();
    inflight.Reset();
    mosquitto_int_option(mosq, MOSQ_OPT_SEND_MAXIMUM, applied_window);
    return true;
}

int aspPlugin::InflightWindow() const
{
    if (max_inflight_messages >= 1 && max_inflight_messages <= 65535) {
        return max_inflight_messages;
    }
    return message_qos == 2 ? QOS2_WINDOW : DEFAULT_WINDOW;
}

// A refusal (a CA file not in place yet, a key being rotated) ends this
// attempt only: the next one sets TLS up afresh.
bool aspPlugin::SetUpTls()
{
    // ag_expand_variables takes its map by non-const reference; it only
    // ever gets this copy, never the instance's own map.
    std::map<std::string, std::string> scratch(variables);
    std::string ca = expand(ca_file, scratch);
    std::string ca_dir = expand(ca_path, scratch);
    std::string cert = expand(client_cert_file, scratch);
    std::string key = expand(client_key_file, scratch);
    // libmosquitto sets TLS up (a client certificate with it) only with a
    // CA file or directory: the store's directory is that one.
    const bool os_store = tls_use_os_certs && ca_file.empty() && ca_path.empty();
    if (os_store) {
        ca_dir = mq_os_cert_dir();
    }

    int rc = mosquitto_tls_set(mosq, or_null(ca), or_null(ca_dir), or_null(cert), or_null(key),
        nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        return tls_refused(tag, status, "error initializing libmosquitto TLS", rc);
    }
    // The store's file too (SSL_CERT_FILE, else OpenSSL's bundle), loaded
    // by the library into each new client's context: the plug-in's client
    // is a new one at every attempt, so a reconnect loads it again.
    rc = os_store ? mosquitto_int_option(mosq, MOSQ_OPT_TLS_USE_OS_CERTS, 1) : MOSQ_ERR_SUCCESS;
    if (rc != MOSQ_ERR_SUCCESS) {
        return tls_refused(tag, status, "error using the system's CA store", rc);
    }
    // Verifying the broker, as without the call. The library takes the
    // version in any case here, but compares it in lower case when it
    // connects.
    std::string version = tls_version;
    std::transform(version.begin(), version.end(), version.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    rc = mosquitto_tls_opts_set(mosq, SSL_VERIFY_PEER, or_null(version), nullptr);
    if (rc != MOSQ_ERR_SUCCESS) {
        return tls_refused(tag, status, "error setting TLS version " + tls_version, rc);
    }
    rc = tls_alpn.empty() ? MOSQ_ERR_SUCCESS :
                            mosquitto_string_option(mosq, MOSQ_OPT_TLS_ALPN, tls_alpn.c_str());
    if (rc != MOSQ_ERR_SUCCESS) {
        return tls_refused(tag, status, "error setting TLS ALPN protocol " + tls_alpn, rc);
    }
    rc = mosquitto_tls_insecure_set(mosq, tls_insecure);
    if (rc != MOSQ_ERR_SUCCESS) {
        const char *direction = tls_insecure ? "enabling" : "disabling";
        return tls_refused(tag, status, std::string("error ") + direction + " TLS insecure mode",
            rc);
    }
    ag_dprintf("%s: enabled TLS.\n", tag.c_str());
    return true;
}

void aspPlugin::mqConnect()
{
    // Paced from the start of this attempt, whatever becomes of it.
    next_attempt = std::chrono::steady_clock::now() + backoff.Next();
    // What in `host` cannot be used the load has logged already.
    std::vector<std::string> told;
    brokers.Assign(config_broker_list(host, port, told));
    const BrokerEntry broker = brokers.Next();
    // The address this attempt goes to, for its failure line: a reload
    // may change the configured one while it is under way.
    attempt_address = broker.Address();
    connack_refusal.clear();
    mqInit();
    // A refused id or will leaves nothing to set up or connect; a later
    // attempt tries again (a reload may bring a usable one).
    if (client_id_refused || !mqSetWill()) {
        return;
    }
    const bool tls = !ca_file.empty() || !ca_path.empty() || tls_use_os_certs;
    if (tls && !SetUpTls()) {
        return;
    }
    int rc = mosquitto_connect_async(mosq, broker.host.c_str(), broker.port, KEEPALIVE);
    if (rc != MOSQ_ERR_SUCCESS) {
        LogLinkFailure("connect", rc, true);
        return;
    }
    // The name lookup is behind: the CONNACK's limit counts from here.
    connect_returned = std::chrono::steady_clock::now();
    status.Attempt(attempt_address);
    connecting = true;
    write_interest.Attempt();
    last_misc = connect_returned;
}

void aspPlugin::mqReset()
{
    ReportConnectionLoss();
    connected = false;
    connecting = false;
    if (mosq == nullptr || mosquitto_socket(mosq) == -1) {
        return;
    }
    mosquitto_disconnect(mosq);
    if (mosquitto_want_write(mosq)) {
        mosquitto_loop_write(mosq, 1);
    }
}
