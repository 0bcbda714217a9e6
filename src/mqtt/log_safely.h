/*
 * Logging from inside libmosquitto's callbacks.
 */
#ifndef TAVRIX_MQTT_LOG_SAFELY_H
#define TAVRIX_MQTT_LOG_SAFELY_H

// Nothing may unwind through libmosquitto's C frames, which hold its
// callback locks: a log line that fails (a throwing log sink, memory
// exhaustion) is lost instead.
template <typename Log>
void log_safely(Log log) noexcept
{
    try {
        log();
    } catch (...) {
    }
}

#endif
