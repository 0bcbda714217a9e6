/*
 * One run of the plug-in: from loading it to the summary line.
 */
#ifndef TAVRIX_SINK_RUN_RUNNER_H
#define TAVRIX_SINK_RUN_RUNNER_H

#include "options.h"

enum ExitStatus {
    EXIT_DELIVERED = 0,     // the broker has everything that was read
    EXIT_PLUGIN_FAILED = 1, // refused or failed plug-in, unreadable input
    EXIT_USAGE = 2,         // bad flags, missing files
    EXIT_UNREACHABLE = 3,   // no broker accepted the plug-in in time
    EXIT_INCOMPLETE = 4,    // payloads dropped, never published or unacknowledged
    EXIT_SIGNAL_BASE = 128, // plus the number of the signal that stopped the run
};

/* Runs the plug-in as the options say; returns the exit status. Throws
 * UsageError for missing files. */
int run(const Options &options);

#endif
