/*
 * What the figures were measured on: they mean little without it,
 * especially on a machine that others share.
 */
#ifndef TAVRIX_BENCH_MACHINE_H
#define TAVRIX_BENCH_MACHINE_H

#include <string>

/* Date, cores, CPU model and memory, as one Markdown line. */
std::string describe_machine();

/* The 1, 5 and 15 minute load averages. */
std::string load_average();

#endif
