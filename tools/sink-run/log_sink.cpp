#include "log_sink.h"

#include <cstdio>

void install_log_sink(LogWatch &watch, bool show_debug)
{
    ag_set_debug(true);
    ag_set_log_sink([&watch, show_debug](agLogLevel level, const std::string &line) {
        watch.on_line(level, line);
        if (level == agLogLevel::NOTICE || show_debug) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    });
}

void remove_log_sink()
{
    ag_set_log_sink(agLogSink());
    ag_set_debug(false);
}
