#include "retry_backoff.h"

#include <algorithm>

#include <unistd.h>

RetryBackoff::RetryBackoff()
    // Gateways restarted together still spread out: the seed differs per
    // process and per instance.
    : random(static_cast<std::minstd_rand::result_type>(
          std::chrono::steady_clock::now().time_since_epoch().count() ^ getpid() ^
          reinterpret_cast<std::uintptr_t>(this)))
{
}

std::chrono::milliseconds RetryBackoff::Next()
{
    std::chrono::milliseconds wait = base;
    base = std::min(base * 2, LONGEST);
    std::uniform_int_distribution<std::chrono::milliseconds::rep> jitter(0, wait.count() / 5);
    return wait - std::chrono::milliseconds(jitter(random));
}

void RetryBackoff::ConnectionEnded(std::chrono::steady_clock::duration lasted, bool acknowledged)
{
    if (acknowledged || lasted >= STEADY) {
        base = FIRST;
    }
}
