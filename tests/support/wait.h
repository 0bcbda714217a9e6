/*
 * Waiting on a condition with a deadline, never for a fixed time.
 */
#ifndef TAVRIX_TESTS_SUPPORT_WAIT_H
#define TAVRIX_TESTS_SUPPORT_WAIT_H

#include <chrono>
#include <functional>

/* Looks at `condition` every `step` until it holds or `limit` passes;
 * true when it held. */
bool wait_until(const std::function<bool()> &condition,
    std::chrono::milliseconds limit = std::chrono::seconds(5),
    std::chrono::milliseconds step = std::chrono::milliseconds(20));

#endif
