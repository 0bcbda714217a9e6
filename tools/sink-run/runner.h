/*
 * One run of the plug-in: from loading it to the summary line.
 */
#ifndef TAVRIX_SINK_RUN_RUNNER_H
#define TAVRIX_SINK_RUN_RUNNER_H

#include "options.h"

enum ExitStatus {
    EXIT_DELIVERED = 0,
    EXIT_PLUGIN_FAILED = 1,
    EXIT_USAGE = 2,
    EXIT_UNREACHABLE = 3,
    EXIT_INCOMPLETE = 4,
    EXIT_SIGNAL_BASE = 128,
};

/* Runs the plug-in as the options say; returns the exit status. Throws
 * UsageError for missing files. */
int run(const Options &options);

#endif
