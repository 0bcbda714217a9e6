/*
 * What a running child costs so far, as Linux tells it: the benchmark
 * watches its publishers while they run, which rusage cannot do.
 */
#ifndef TAVRIX_BENCH_PROCESS_USAGE_H
#define TAVRIX_BENCH_PROCESS_USAGE_H

#include <string>

#include <sys/resource.h>
#include <sys/types.h>

/* CPU time used so far, in clock ticks; what tells a busy child from a
 * stuck one. 0 when the process is gone. */
long cpu_ticks_of(pid_t pid);

/* Peak resident set so far, in KiB (VmHWM); 0 when the process is gone.
 * The rusage figure cannot stand in for it: for a child that the
 * toolkit's spawner started it also counts the peak of our own address
 * space. */
long peak_rss_kb_of(pid_t pid);

double cpu_seconds_of(const struct rusage &usage);

/* The last lines of a log file, for error reports. */
std::string log_tail(const std::string &path);

#endif
