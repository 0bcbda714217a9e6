#include "host/ag_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <mutex>

#include "format.h"

namespace {

std::atomic<bool> debug_enabled{false};
// One lock serialises the sink and standard error, so concurrent threads
// never interleave inside a line.
std::mutex output_lock;
agLogSink output_sink;

void emit(agLogLevel level, const char *format, va_list args) __attribute__((format(printf, 2, 0)));

void emit(agLogLevel level, const char *format, va_list args)
{
    std::string line = ag_vformat(format, args);
    std::lock_guard<std::mutex> guard(output_lock);
    // A sink sees the text exactly as the caller formatted it; standard
    // error gets one line, whether the format ended in a newline or not.
    if (output_sink) {
        output_sink(level, line);
        return;
    }
    while (!line.empty() && line.back() == '\n') {
        line.pop_back();
    }
    line.push_back('\n');
    std::fwrite(line.data(), 1, line.size(), stderr);
}

} // namespace

void ag_printf(const char *format, ...)
{
    va_list args;
    va_start(args, format);
    emit(agLogLevel::NOTICE, format, args);
    va_end(args);
}

void ag_dprintf(const char *format, ...)
{
    if (!debug_enabled.load(std::memory_order_relaxed)) {
        return;
    }
    va_list args;
    va_start(args, format);
    emit(agLogLevel::DEBUG, format, args);
    va_end(args);
}

void ag_set_debug(bool enabled)
{
    debug_enabled.store(enabled);
}

bool ag_debug_enabled()
{
    return debug_enabled.load();
}

void ag_set_log_sink(agLogSink sink)
{
    std::lock_guard<std::mutex> guard(output_lock);
    output_sink = std::move(sink);
}
