#include "wait.h"

#include <thread>

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit,
    std::chrono::milliseconds step)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(step);
    }
    return true;
}
