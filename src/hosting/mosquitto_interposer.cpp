/*
 * The program's own definitions of the libmosquitto entry points that the
 * delivery accounting watches. Each forwards to the library's definition
 * (the next one in the lookup order) with the caller's arguments, and
 * hands the caller the library's result; for the plug-in's clients it
 * stands in for the plug-in's callbacks, notes what they report and calls
 * the plug-in's own with the same arguments.
 *
 * Exported from the program by interposer.list; the program must link
 * libmosquitto itself, so that the library is in the global lookup scope
 * that RTLD_NEXT searches.
 */
#include <cstdio>
#include <cstdlib>

#include <dlfcn.h>

#include <mosquitto.h>

#include "delivery_accounting.h"

namespace {

using PublishFunction = int (*)(struct mosquitto *, int *, const char *, int, const void *, int,
    bool);
using ReinitialiseFunction = int (*)(struct mosquitto *, const char *, bool, void *);
using DestroyFunction = void (*)(struct mosquitto *);
using PublishCallback = void (*)(struct mosquitto *, void *, int);
using ConnectCallback = void (*)(struct mosquitto *, void *, int);
using LogCallback = void (*)(struct mosquitto *, void *, int, const char *);
template <typename Callback>
using SetterFunction = void (*)(struct mosquitto *, Callback);

[[maybe_unused]] const bool marked = (ClientLedger::mark_interposed(), true);

template <typename Function>
Function next_definition(const char *name)
{
    void *address = dlsym(RTLD_NEXT, name);
    if (address == nullptr) {
        std::fprintf(stderr, "delivery accounting: no libmosquitto %s: %s\n", name, dlerror());
        std::abort();
    }
    return reinterpret_cast<Function>(address);
}

const void *image_base(const void *address)
{
    Dl_info info;
    return dladdr(address, &info) == 0 ? nullptr : info.dli_fbase;
}

// The plug-in's calls come from neither this program nor libmosquitto
// itself, which calls some of its own entry points (mosquitto_new calls
// mosquitto_reinitialise).
bool from_plugin(const void *caller, const void *library_function)
{
    const void *base = image_base(caller);
    return base != image_base(reinterpret_cast<const void *>(&next_definition<void *>)) &&
        base != image_base(library_function);
}

ClientLedger &ledger()
{
    return ClientLedger::process();
}

bool hosted(struct mosquitto *mosq, const void *caller, const void *library_function)
{
    if (ledger().knows(mosq)) {
        return true;
    }
    if (mosq == nullptr || !from_plugin(caller, library_function)) {
        return false;
    }
    ledger().adopt(mosq);
    return true;
}

template <typename Callback>
Callback plugin_callback(struct mosquitto *mosq, ClientHook hook)
{
    return reinterpret_cast<Callback>(ledger().callback(mosq, hook));
}

void on_publish(struct mosquitto *mosq, void *obj, int mid)
{
    ledger().confirmed(mosq);
    if (auto callback = plugin_callback<PublishCallback>(mosq, ClientHook::PUBLISH)) {
        callback(mosq, obj, mid);
    }
}

void on_connect(struct mosquitto *mosq, void *obj, int rc)
{
    ledger().connect_result(mosq, rc);
    if (auto callback = plugin_callback<ConnectCallback>(mosq, ClientHook::CONNECT)) {
        callback(mosq, obj, rc);
    }
}

void on_disconnect(struct mosquitto *mosq, void *obj, int rc)
{
    ledger().disconnected(mosq);
    if (auto callback = plugin_callback<ConnectCallback>(mosq, ClientHook::DISCONNECT)) {
        callback(mosq, obj, rc);
    }
}

void on_log(struct mosquitto *mosq, void *obj, int level, const char *text)
{
    if (level == MOSQ_LOG_ERR) {
        ledger().library_error(text);
    }
    if (auto callback = plugin_callback<LogCallback>(mosq, ClientHook::LOG)) {
        callback(mosq, obj, level, text);
    }
}

// A setter: the plug-in's callback is kept, the ledger's registered, so
// that the plug-in's is called from the ledger's with the same arguments.
template <typename Callback>
void set_hook(const char *name, struct mosquitto *mosq, ClientHook hook, Callback callback,
    Callback ours, const void *caller)
{
    static_assert(sizeof(Callback) == sizeof(void *), "callbacks are plain function pointers");
    auto real = next_definition<SetterFunction<Callback>>(name);
    if (!hosted(mosq, caller, reinterpret_cast<const void *>(real))) {
        real(mosq, callback);
        return;
    }
    ledger().set_callback(mosq, hook, reinterpret_cast<void *>(callback));
    if (hook == ClientHook::PUBLISH) {
        ledger().claim_publish_hook(mosq);
    }
    real(mosq, ours);
}

} // namespace

extern "C" {

int mosquitto_publish(struct mosquitto *mosq, int *mid, const char *topic, int payloadlen,
    const void *payload, int qos, bool retain)
{
    static const auto real = next_definition<PublishFunction>("mosquitto_publish");
    if (!hosted(mosq, __builtin_return_address(0), reinterpret_cast<const void *>(real))) {
        return real(mosq, mid, topic, payloadlen, payload, qos, retain);
    }
    if (ledger().claim_publish_hook(mosq)) {
        static const auto set = next_definition<SetterFunction<PublishCallback>>(
            "mosquitto_publish_callback_set");
        set(mosq, on_publish);
    }
    bool resend = ledger().published(mosq);
    int rc = real(mosq, mid, topic, payloadlen, payload, qos, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        ledger().refused(mosq, resend);
    }
    return rc;
}

void mosquitto_publish_callback_set(struct mosquitto *mosq,
    void (*callback)(struct mosquitto *, void *, int))
{
    set_hook<PublishCallback>("mosquitto_publish_callback_set", mosq, ClientHook::PUBLISH,
        callback, on_publish, __builtin_return_address(0));
}

void mosquitto_connect_callback_set(struct mosquitto *mosq,
    void (*callback)(struct mosquitto *, void *, int))
{
    set_hook<ConnectCallback>("mosquitto_connect_callback_set", mosq, ClientHook::CONNECT,
        callback, on_connect, __builtin_return_address(0));
}

void mosquitto_disconnect_callback_set(struct mosquitto *mosq,
    void (*callback)(struct mosquitto *, void *, int))
{
    set_hook<ConnectCallback>("mosquitto_disconnect_callback_set", mosq, ClientHook::DISCONNECT,
        callback, on_disconnect, __builtin_return_address(0));
}

void mosquitto_log_callback_set(struct mosquitto *mosq,
    void (*callback)(struct mosquitto *, void *, int, const char *))
{
    set_hook<LogCallback>("mosquitto_log_callback_set", mosq, ClientHook::LOG, callback, on_log,
        __builtin_return_address(0));
}

int mosquitto_reinitialise(struct mosquitto *mosq, const char *id, bool clean_session, void *obj)
{
    static const auto real = next_definition<ReinitialiseFunction>("mosquitto_reinitialise");
    if (hosted(mosq, __builtin_return_address(0), reinterpret_cast<const void *>(real))) {
        ledger().dropped(mosq, false);
    }
    return real(mosq, id, clean_session, obj);
}

void mosquitto_destroy(struct mosquitto *mosq)
{
    static const auto real = next_definition<DestroyFunction>("mosquitto_destroy");
    // A client that is gone may come back at the same address as someone
    // else's.
    ledger().dropped(mosq, true);
    real(mosq);
}

} // extern "C"
