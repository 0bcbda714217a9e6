/*
 * One clock for every process of the benchmark: CLOCK_MONOTONIC is the
 * same across processes on one machine, so a timestamp taken by a
 * publisher can be compared with the subscriber's receive time.
 */
#ifndef TAVRIX_BENCH_CLOCK_H
#define TAVRIX_BENCH_CLOCK_H

#include <cstdint>
#include <ctime>

inline int64_t bench_now_ns()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000000000 + now.tv_nsec;
}

inline double ns_to_seconds(int64_t ns)
{
    return static_cast<double>(ns) / 1e9;
}

#endif
