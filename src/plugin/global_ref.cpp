#include "global_ref.h"

#include <mutex>

#include <mosquitto.h>

#include "asp_plugin.h"

std::atomic<uint32_t> aspPlugin::mq_global_ref{0};

namespace {

// libmosquitto keeps its init count and TLS state unlocked, so the steps
// that call into it must not overlap: instances are created and destroyed
// on whatever host thread the host chooses.
std::mutex &global_lock()
{
    static std::mutex lock;
    return lock;
}

} // namespace

uint32_t mq_global_acquire()
{
    std::lock_guard<std::mutex> guard(global_lock());
    uint32_t before = aspPlugin::mq_global_ref.fetch_add(1);
    if (before == 0) {
        mosquitto_lib_init();
    }
    return before + 1;
}

void mq_global_release()
{
    std::lock_guard<std::mutex> guard(global_lock());
    if (aspPlugin::mq_global_ref.fetch_sub(1) == 1) {
        mosquitto_lib_cleanup();
    }
}
