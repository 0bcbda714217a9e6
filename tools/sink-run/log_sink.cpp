#include "log_sink.h"

#include <cstdio>

LogSink::LogSink(LogWatch &watch, bool show_debug)
{
    ag_set_debug(true);
    ag_set_log_sink([&watch, show_debug](agLogLevel level, const std::string &text) {
        // The host hands over the text as formatted, newline or not.
        std::string line = text;
        while (!line.empty() && line.back() == '\n') {
            line.pop_back();
        }
        watch.on_line(level, line);
        if (level == agLogLevel::NOTICE || show_debug) {
            std::fprintf(stderr, "%s\n", line.c_str());
        }
    });
}

LogSink::~LogSink()
{
    ag_set_log_sink(agLogSink());
    ag_set_debug(false);
}
