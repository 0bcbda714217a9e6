/*
 * What the plug-in's log tells about its broker connection and its
 * publishes. The plug-in reports only through the host's logger, so the
 * runner reads its lines (debug output on): "<tag>: on_connect: 0: ..."
 * when the broker accepts it, "<tag>: MQ Publish: <topic>, length: <n>"
 * per publish request, and libmosquitto's own lines as
 * "<tag>: <level>: <text>", among them the acknowledgements.
 */
#ifndef TAVRIX_SINK_RUN_LOG_WATCH_H
#define TAVRIX_SINK_RUN_LOG_WATCH_H

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>

#include <host/ag_log.h>

struct DeliveryCounts {
    uint64_t published = 0;    // publish requests: one per payload and channel
    uint64_t refused = 0;      // requests libmosquitto refused
    uint64_t unconfirmed = 0;  // QoS 0 requests sent: nothing to wait for
    uint64_t acknowledged = 0; // QoS 1 PUBACKs and QoS 2 PUBCOMPs received
    uint64_t abandoned = 0;    // unacknowledged when their connection was lost
    uint64_t losses = 0;       // accepted connections that were lost

    /* Requests still waiting for their acknowledgement. */
    uint64_t outstanding() const;
};

class LogWatch
{
public:
    /* `changed` runs (outside the watch's lock) after every line that
     * changed the connection or a count someone may wait for. */
    LogWatch(std::string tag, std::function<void()> changed);

    void on_line(agLogLevel level, const std::string &line);

    DeliveryCounts counts() const;
    bool connected() const;
    /* Connections the broker accepted so far. */
    uint64_t connections() const;
    /* Connections closed cleanly ("on_disconnect: 0: ..."): libmosquitto
     * reports that only once the DISCONNECT packet, and so everything
     * queued before it, was written. */
    uint64_t clean_disconnects() const;
    /* The plug-in's last line about a failed connection or request, and
     * libmosquitto's last error line (often the reason behind it). */
    std::string last_problem() const;
    std::string last_library_error() const;

private:
    bool on_plugin_line(agLogLevel level, const std::string &text, const std::string &line);
    bool on_library_line(const std::string &text);
    void lose_connection();

    const std::string prefix;
    const std::function<void()> changed;
    mutable std::mutex lock;
    DeliveryCounts delivery;
    bool is_connected = false;
    uint64_t accepted = 0;
    uint64_t clean_closes = 0;
    std::string problem;
    std::string library_error;
};

#endif
