#include "socket_shims.h"

#include <atomic>
#include <mutex>
#include <thread>

#include <dlfcn.h>
#include <netdb.h>
#include <sys/socket.h>

namespace {

std::mutex lock;
std::string slow_name;
std::chrono::milliseconds slow_delay{0};
std::atomic<int> send_buffer{0};

// The next definition after ours: the C library's, or a sanitizer's own
// interceptor, which passes it on.
template <typename Function>
Function next_definition(const char *name)
{
    return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

} // namespace

void shim_slow_lookup(const std::string &name, std::chrono::milliseconds delay)
{
    std::lock_guard<std::mutex> guard(lock);
    slow_name = name;
    slow_delay = delay;
}

void shim_send_buffer(int bytes)
{
    send_buffer.store(bytes);
}

extern "C" int getaddrinfo(const char *node, const char *service, const struct addrinfo *hints,
    struct addrinfo **result)
{
    using Lookup = int (*)(const char *, const char *, const struct addrinfo *, struct addrinfo **);
    static const Lookup next = next_definition<Lookup>("getaddrinfo");
    std::chrono::milliseconds delay{0};
    {
        std::lock_guard<std::mutex> guard(lock);
        if (node != nullptr && !slow_name.empty() && slow_name == node) {
            delay = slow_delay;
        }
    }
    if (delay.count() > 0) {
        std::this_thread::sleep_for(delay);
        node = "127.0.0.1";
    }
    return next(node, service, hints, result);
}

extern "C" int connect(int fd, const struct sockaddr *address, socklen_t length)
{
    using Connect = int (*)(int, const struct sockaddr *, socklen_t);
    static const Connect next = next_definition<Connect>("connect");
    int bytes = send_buffer.load();
    if (bytes > 0 && address != nullptr &&
        (address->sa_family == AF_INET || address->sa_family == AF_INET6)) {
        setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
    }
    return next(fd, address, length);
}
