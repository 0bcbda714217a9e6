#include "fake_mosquitto.h"

#include <cerrno>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <type_traits>

#include <sys/select.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <mosquitto.h>

namespace {

using ConnectCallback = void (*)(struct mosquitto *, void *, int);
using PublishCallback = void (*)(struct mosquitto *, void *, int);
using MessageCallback = void (*)(struct mosquitto *, void *, const struct mosquitto_message *);
using SubscribeCallback = void (*)(struct mosquitto *, void *, int, int, const int *);
using LogCallback = void (*)(struct mosquitto *, void *, int, const char *);
using Properties = const mosquitto_property *;
using ConnectV5Callback = void (*)(struct mosquitto *, void *, int, int, Properties);
using DisconnectV5Callback = void (*)(struct mosquitto *, void *, int, Properties);
using PublishV5Callback = void (*)(struct mosquitto *, void *, int, int, Properties);

// What reset() puts back: everything but the lock.
struct Scene {
    std::vector<std::string> calls;
    std::map<std::string, std::deque<int>> scripts;
    std::map<std::string, std::function<void()>> actions;
    std::deque<fake::SelectResult> selects;
    std::vector<std::string> select_outcomes;
    int socket = -1;
    bool want_write = false;
    void *user_data = nullptr;
    const void *last_payload = nullptr;
    int last_mid = 0;
    std::vector<int> mids;
    ConnectCallback on_connect = nullptr;
    ConnectCallback on_disconnect = nullptr;
    PublishCallback on_publish = nullptr;
    MessageCallback on_message = nullptr;
    SubscribeCallback on_subscribe = nullptr;
    LogCallback on_log = nullptr;
    ConnectV5Callback on_connect_v5 = nullptr;
    DisconnectV5Callback on_disconnect_v5 = nullptr;
    PublishV5Callback on_publish_v5 = nullptr;
};

struct State : Scene {
    std::mutex lock;
};

State &state()
{
    static State instance;
    return instance;
}

template <typename Value>
Value get(Value Scene::*member)
{
    std::lock_guard<std::mutex> guard(state().lock);
    return state().*member;
}

template <typename Value>
void put(Value Scene::*member, Value value)
{
    std::lock_guard<std::mutex> guard(state().lock);
    state().*member = std::move(value);
}

alignas(16) unsigned char handle_storage[64];

std::string quoted(const char *text)
{
    return text == nullptr ? "null" : "\"" + std::string(text) + "\"";
}

const char *boolean(bool value)
{
    return value ? "true" : "false";
}

template <typename Value>
std::string argument(const Value &value)
{
    if constexpr (std::is_arithmetic_v<Value>) {
        return std::to_string(value);
    } else {
        return value;
    }
}

// Records the call as "name(arguments)" and returns its scripted result,
// or `fallback`.
template <typename... Args>
int record(const char *name, int fallback, const Args &...args)
{
    std::string line = std::string(name) + "(";
    [[maybe_unused]] const char *separator = "";
    ((line += separator + argument(args), separator = ", "), ...);
    line += ")";
    std::function<void()> action;
    int result = fallback;
    {
        State &s = state();
        std::lock_guard<std::mutex> guard(s.lock);
        s.calls.push_back(line);
        auto script = s.scripts.find(name);
        if (script != s.scripts.end() && !script->second.empty()) {
            result = script->second.front();
            script->second.pop_front();
        }
        auto found = s.actions.find(name);
        if (found != s.actions.end()) {
            action = found->second;
        }
    }
    if (action) {
        action();
    }
    return result;
}

template <typename... Args>
int record_client(struct mosquitto *mosq, const char *name, const Args &...args)
{
    // The library answers every call on a null handle this way.
    return record(name, mosq == nullptr ? MOSQ_ERR_INVAL : MOSQ_ERR_SUCCESS, args...);
}

// Calls the callback the plug-in registered, as the library would.
template <typename Callback, typename... Args>
void fire(Callback Scene::*member, Args... args)
{
    if (Callback cb = get(member)) {
        cb(fake::handle(), get(&Scene::user_data), args...);
    }
}

template <typename Callback>
void keep_callback(const char *name, Callback Scene::*member, Callback cb)
{
    record(name, 0);
    put(member, cb);
}

} // namespace

namespace fake {

void reset()
{
    std::lock_guard<std::mutex> guard(state().lock);
    static_cast<Scene &>(state()) = Scene();
}

void forget_calls()
{
    put(&Scene::calls, {});
}

std::vector<std::string> calls()
{
    return get(&Scene::calls);
}

std::vector<std::string> calls_of(const std::string &prefix)
{
    std::vector<std::string> matching;
    for (const std::string &call : calls()) {
        if (call.compare(0, prefix.size(), prefix) == 0) {
            matching.push_back(call);
        }
    }
    return matching;
}

void script(const std::string &function, int result)
{
    std::lock_guard<std::mutex> guard(state().lock);
    state().scripts[function].push_back(result);
}

void set_socket(int socket)
{
    put(&Scene::socket, socket);
}

void set_want_write(bool want)
{
    put(&Scene::want_write, want);
}

void on(const std::string &function, std::function<void()> action)
{
    std::lock_guard<std::mutex> guard(state().lock);
    state().actions[function] = std::move(action);
}

void on_each(const std::string &function, std::function<void(int call)> action)
{
    auto calls = std::make_shared<int>(0);
    on(function, [calls, action] { action(++*calls); });
}

std::vector<std::string> select_outcomes()
{
    return get(&Scene::select_outcomes);
}

void script_select(SelectResult result, int times)
{
    std::lock_guard<std::mutex> guard(state().lock);
    state().selects.insert(state().selects.end(), times, result);
}

struct mosquitto *handle()
{
    return reinterpret_cast<struct mosquitto *>(handle_storage);
}

std::vector<int> published_mids()
{
    return get(&Scene::mids);
}

void confirm_all()
{
    for (int mid : published_mids()) {
        fire_publish(mid);
    }
    put(&Scene::mids, {});
}

const void *last_payload()
{
    return get(&Scene::last_payload);
}

void fire_connect(int rc)
{
    fire(&Scene::on_connect, rc);
}

void fire_disconnect(int rc)
{
    fire(&Scene::on_disconnect, rc);
}

void fire_publish(int mid)
{
    fire(&Scene::on_publish, mid);
}

void fire_message(const std::string &topic, int payload_length)
{
    struct mosquitto_message message = {};
    message.topic = const_cast<char *>(topic.c_str());
    message.payloadlen = payload_length;
    fire(&Scene::on_message, static_cast<const struct mosquitto_message *>(&message));
}

void fire_subscribe(int mid)
{
    const int granted = 1;
    fire(&Scene::on_subscribe, mid, 1, &granted);
}

void fire_log(int level, const std::string &text)
{
    fire(&Scene::on_log, level, text.c_str());
}

} // namespace fake

extern "C" {

int mosquitto_lib_init(void)
{
    return record("mosquitto_lib_init", MOSQ_ERR_SUCCESS);
}

int mosquitto_lib_cleanup(void)
{
    return record("mosquitto_lib_cleanup", MOSQ_ERR_SUCCESS);
}

int mosquitto_lib_version(int *major, int *minor, int *revision)
{
    record("mosquitto_lib_version", 0);
    *major = 2;
    *minor = 0;
    *revision = 11;
    return LIBMOSQUITTO_VERSION_NUMBER;
}

struct mosquitto *mosquitto_new(const char *id, bool clean_session, void *obj)
{
    int failure = record("mosquitto_new", 0, quoted(id), boolean(clean_session));
    if (failure != 0) {
        errno = failure;
        return nullptr;
    }
    put(&Scene::user_data, obj);
    return fake::handle();
}

int mosquitto_reinitialise(struct mosquitto *mosq, const char *id, bool clean_session, void *obj)
{
    put(&Scene::user_data, obj);
    return record_client(mosq, "mosquitto_reinitialise", quoted(id), boolean(clean_session));
}

void mosquitto_destroy(struct mosquitto *)
{
    record("mosquitto_destroy", 0);
}

int mosquitto_username_pw_set(struct mosquitto *mosq, const char *username, const char *password)
{
    return record_client(mosq, "mosquitto_username_pw_set", quoted(username), quoted(password));
}

#define FAKE_CALLBACK_SET(kind, type)                                                              \
    void mosquitto_##kind##_callback_set(struct mosquitto *, type cb)                              \
    {                                                                                              \
        keep_callback("mosquitto_" #kind "_callback_set", &Scene::on_##kind, cb);                  \
    }
FAKE_CALLBACK_SET(connect, ConnectCallback)
FAKE_CALLBACK_SET(disconnect, ConnectCallback)
FAKE_CALLBACK_SET(publish, PublishCallback)
FAKE_CALLBACK_SET(message, MessageCallback)
FAKE_CALLBACK_SET(subscribe, SubscribeCallback)
FAKE_CALLBACK_SET(log, LogCallback)
FAKE_CALLBACK_SET(connect_v5, ConnectV5Callback)
FAKE_CALLBACK_SET(disconnect_v5, DisconnectV5Callback)
FAKE_CALLBACK_SET(publish_v5, PublishV5Callback)
#undef FAKE_CALLBACK_SET

// The fake's CONNACK carries no properties: MQTT's defaults apply.
const mosquitto_property *mosquitto_property_read_byte(const mosquitto_property *, int, uint8_t *,
    bool)
{
    return nullptr;
}

const mosquitto_property *mosquitto_property_read_int16(const mosquitto_property *, int,
    uint16_t *, bool)
{
    return nullptr;
}

const mosquitto_property *mosquitto_property_read_int32(const mosquitto_property *, int,
    uint32_t *, bool)
{
    return nullptr;
}

const char *mosquitto_reason_string(int reason_code)
{
    static thread_local char text[32];
    std::snprintf(text, sizeof text, "reason text %d", reason_code);
    return text;
}

int mosquitto_threaded_set(struct mosquitto *mosq, bool threaded)
{
    return record_client(mosq, "mosquitto_threaded_set", boolean(threaded));
}

int mosquitto_int_option(struct mosquitto *mosq, enum mosq_opt_t option, int value)
{
    return record_client(mosq, "mosquitto_int_option", static_cast<int>(option), value);
}

int mosquitto_tls_set(struct mosquitto *mosq, const char *cafile, const char *capath,
    const char *certfile, const char *keyfile,
    int (*pw_callback)(char *buf, int size, int rwflag, void *userdata))
{
    return record_client(mosq, "mosquitto_tls_set", quoted(cafile), quoted(capath),
        quoted(certfile), quoted(keyfile), pw_callback == nullptr ? "null" : "callback");
}

int mosquitto_tls_insecure_set(struct mosquitto *mosq, bool value)
{
    return record_client(mosq, "mosquitto_tls_insecure_set", boolean(value));
}

int mosquitto_tls_opts_set(struct mosquitto *mosq, int cert_reqs, const char *tls_version,
    const char *ciphers)
{
    return record_client(mosq, "mosquitto_tls_opts_set", cert_reqs, quoted(tls_version),
        quoted(ciphers));
}

int mosquitto_string_option(struct mosquitto *mosq, enum mosq_opt_t option, const char *value)
{
    return record_client(mosq, "mosquitto_string_option", static_cast<int>(option), quoted(value));
}

int mosquitto_will_set(struct mosquitto *mosq, const char *topic, int payloadlen,
    const void *payload, int qos, bool retain)
{
    std::string bytes(static_cast<const char *>(payload), static_cast<std::size_t>(payloadlen));
    return record_client(mosq, "mosquitto_will_set", quoted(topic), quoted(bytes.c_str()), qos,
        boolean(retain));
}

int mosquitto_connect(struct mosquitto *mosq, const char *host, int port, int keepalive)
{
    return record_client(mosq, "mosquitto_connect", quoted(host), port, keepalive);
}

int mosquitto_connect_async(struct mosquitto *mosq, const char *host, int port, int keepalive)
{
    return record_client(mosq, "mosquitto_connect_async", quoted(host), port, keepalive);
}

int mosquitto_socket(struct mosquitto *mosq)
{
    return record("mosquitto_socket", mosq == nullptr ? -1 : get(&Scene::socket));
}

int mosquitto_disconnect(struct mosquitto *mosq)
{
    return record_client(mosq, "mosquitto_disconnect");
}

bool mosquitto_want_write(struct mosquitto *)
{
    return record("mosquitto_want_write", get(&Scene::want_write) ? 1 : 0) != 0;
}

int mosquitto_loop_read(struct mosquitto *mosq, int max_packets)
{
    return record_client(mosq, "mosquitto_loop_read", max_packets);
}

int mosquitto_loop_write(struct mosquitto *mosq, int max_packets)
{
    return record_client(mosq, "mosquitto_loop_write", max_packets);
}

int mosquitto_loop_misc(struct mosquitto *mosq)
{
    return record_client(mosq, "mosquitto_loop_misc");
}

int mosquitto_publish(struct mosquitto *mosq, int *mid, const char *topic, int payloadlen,
    const void *payload, int qos, bool retain)
{
    put(&Scene::last_payload, payload);
    int rc = record_client(mosq, "mosquitto_publish", mid == nullptr ? "null" : "mid",
        quoted(topic), payloadlen, qos, boolean(retain));
    if (rc == MOSQ_ERR_SUCCESS) {
        // As the library numbers them: from 1, skipping 0 on wrapping.
        std::lock_guard<std::mutex> guard(state().lock);
        int next = state().last_mid % 65535 + 1;
        state().last_mid = next;
        state().mids.push_back(next);
        if (mid != nullptr) {
            *mid = next;
        }
    }
    return rc;
}

const char *mosquitto_strerror(int rc)
{
    // Distinct per code, and never mistaken for the library's own texts.
    static thread_local char text[32];
    std::snprintf(text, sizeof text, "error text %d", rc);
    return text;
}

int mosquitto_validate_utf8(const char *str, int len)
{
    // Enough of the library's rule for tests: control characters and bytes
    // that never occur in UTF-8 are malformed.
    for (int i = 0; i < len; ++i) {
        unsigned char c = static_cast<unsigned char>(str[i]);
        if (c < 0x20 || c == 0x7f || c == 0xc0 || c == 0xc1 || c >= 0xf5) {
            return MOSQ_ERR_MALFORMED_UTF8;
        }
    }
    return MOSQ_ERR_SUCCESS;
}

int select(int nfds, fd_set *readfds, fd_set *writefds, fd_set *exceptfds, struct timeval *timeout)
{
    const int socket = get(&Scene::socket);
    // Whatever else stands in the read set is the worker's wake-up.
    int wake_fd = -1;
    for (int fd = 0; readfds != nullptr && fd < nfds; ++fd) {
        if (fd != socket && FD_ISSET(fd, readfds)) {
            wake_fd = fd;
        }
    }
    bool want_write = writefds != nullptr && socket >= 0 && socket < nfds &&
        FD_ISSET(socket, writefds);
    std::optional<fake::SelectResult> scripted;
    {
        std::lock_guard<std::mutex> guard(state().lock);
        state().calls.push_back(want_write ? "select(read, write)" : "select(read)");
        if (!state().selects.empty()) {
            scripted = state().selects.front();
            state().selects.pop_front();
        }
    }
    if (!scripted) {
        int result = static_cast<int>(syscall(SYS_select, nfds, readfds, writefds, exceptfds, timeout));
        int error = errno;
        bool woken = wake_fd != -1 && result > 0 && FD_ISSET(wake_fd, readfds);
        std::lock_guard<std::mutex> guard(state().lock);
        state().select_outcomes.push_back(
            result < 0 ? "failed" : result == 0 ? "timed out" : woken ? "woken" : "ready");
        errno = error;
        return result;
    }
    if (readfds != nullptr) {
        FD_ZERO(readfds);
    }
    if (writefds != nullptr) {
        FD_ZERO(writefds);
    }
    if (scripted->result > 0) {
        if (scripted->readable) {
            FD_SET(socket, readfds);
        }
        if (scripted->writable && writefds != nullptr) {
            FD_SET(socket, writefds);
        }
        if (scripted->woken && wake_fd != -1) {
            FD_SET(wake_fd, readfds);
        }
    }
    if (scripted->result < 0) {
        errno = scripted->error;
    }
    return scripted->result;
}

} // extern "C"
