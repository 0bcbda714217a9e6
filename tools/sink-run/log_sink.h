/*
 * The host logger's sink while the runner runs: every line to the watch,
 * notices (and, with --debug, debug lines) to standard error.
 */
#ifndef TAVRIX_SINK_RUN_LOG_SINK_H
#define TAVRIX_SINK_RUN_LOG_SINK_H

#include "log_watch.h"

class LogSink
{
public:
    /* Turns the host's debug output on (the watch needs it) and routes
     * every line through `watch`, which must outlive the sink. */
    LogSink(LogWatch &watch, bool show_debug);
    /* Back to the host's own output on standard error. */
    ~LogSink();

    LogSink(const LogSink &) = delete;
    LogSink &operator=(const LogSink &) = delete;
};

#endif
