/*
 * Host logging.
 *
 * ag_printf carries notices and failures, ag_dprintf debug detail. Each
 * call writes one line: on standard error a newline is added where the
 * format has none.
 * Debug output is off until ag_set_debug(true); while it is off,
 * ag_dprintf does not even format its arguments.
 *
 * Lines go to standard error unless a sink is installed, which then
 * receives every line instead, exactly as formatted (with the format's
 * trailing newline where it has one). Lines are delivered one at a time;
 * a sink must not log itself.
 */
#ifndef TAVRIX_HOST_AG_LOG_H
#define TAVRIX_HOST_AG_LOG_H

#include <functional>
#include <string>

#include "ag_api.h"

AG_API void ag_printf(const char *format, ...) AG_PRINTF(1, 2);
AG_API void ag_dprintf(const char *format, ...) AG_PRINTF(1, 2);

#ifdef TAVRIX_HOST_SIDE
/* Host side: the debug switch and the sink of every line. */
enum class agLogLevel { NOTICE, DEBUG };

using agLogSink = std::function<void(agLogLevel level, const std::string &line)>;

AG_API void ag_set_debug(bool enabled);
AG_API bool ag_debug_enabled();

/* Installs the sink that receives every line; an empty sink restores
 * standard error. */
AG_API void ag_set_log_sink(agLogSink sink);
#endif

#endif
