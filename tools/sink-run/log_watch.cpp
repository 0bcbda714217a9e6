#include "log_watch.h"

#include <cstdlib>

namespace {

// libmosquitto's level numbers in its log callback.
constexpr int LIBRARY_ERROR_LEVEL = 8;

bool starts_with(const std::string &text, const char *start)
{
    return text.compare(0, std::char_traits<char>::length(start), start) == 0;
}

bool ends_with_length(const std::string &text)
{
    std::size_t at = text.rfind(", length: ");
    if (at == std::string::npos || at + 10 == text.size()) {
        return false;
    }
    return text.find_first_not_of("0123456789", at + 10) == std::string::npos;
}

// The request in "Client <id> sending PUBLISH (d0, q0, ...": the first
// sending of a QoS 0 message; retries and higher QoS are not counted.
bool is_first_qos0_send(const std::string &text)
{
    return starts_with(text, "Client ") &&
        text.find(" sending PUBLISH (d0, q0, ") != std::string::npos;
}

bool is_acknowledgement(const std::string &text)
{
    return starts_with(text, "Client ") &&
        (text.find(" received PUBACK (Mid: ") != std::string::npos ||
            text.find(" received PUBCOMP (Mid: ") != std::string::npos);
}

} // namespace

uint64_t DeliveryCounts::outstanding() const
{
    uint64_t settled = refused + unconfirmed + acknowledged + abandoned;
    return published > settled ? published - settled : 0;
}

LogWatch::LogWatch(std::string tag, std::function<void()> changed_)
    : prefix(std::move(tag) + ": "), changed(std::move(changed_))
{
}

void LogWatch::on_line(agLogLevel level, const std::string &line)
{
    if (!starts_with(line, prefix.c_str())) {
        return;
    }
    std::string text = line.substr(prefix.size());
    bool news = false;
    {
        std::lock_guard<std::mutex> guard(lock);
        if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
            news = on_library_line(text);
        } else {
            news = on_plugin_line(level, text, line);
        }
    }
    if (news && changed) {
        changed();
    }
}

bool LogWatch::on_plugin_line(agLogLevel level, const std::string &text, const std::string &line)
{
    if (starts_with(text, "on_connect: ")) {
        if (starts_with(text, "on_connect: 0:")) {
            is_connected = true;
            ++accepted;
        } else {
            problem = line;
        }
        return true;
    }
    if (starts_with(text, "MQ Publish: ")) {
        if (level == agLogLevel::DEBUG && ends_with_length(text)) {
            ++delivery.published;
            return false;
        }
        ++delivery.refused;
        problem = line;
        return true;
    }
    if (starts_with(text, "New MQTT context: ") || starts_with(text, "Reinitialise MQTT context: ")) {
        problem = line;
        return true;
    }
    if (starts_with(text, "on_disconnect: ") || starts_with(text, "MQ read: ") ||
        starts_with(text, "MQ misc: ") || starts_with(text, "MQ connect: ")) {
        if (starts_with(text, "on_disconnect: 0:")) {
            ++clean_closes;
        } else if (!starts_with(text, "on_disconnect: ")) {
            problem = line;
        }
        lose_connection();
        return true;
    }
    return false;
}

bool LogWatch::on_library_line(const std::string &text)
{
    char *end = nullptr;
    long level = std::strtol(text.c_str(), &end, 10);
    if (end == nullptr || end[0] != ':' || end[1] != ' ') {
        return false;
    }
    std::string message(end + 2);
    if (is_acknowledgement(message)) {
        ++delivery.acknowledged;
        return true;
    }
    if (is_first_qos0_send(message)) {
        ++delivery.unconfirmed;
        return true;
    }
    if (level == LIBRARY_ERROR_LEVEL) {
        library_error = message;
    }
    return false;
}

// A new connection starts from a re-initialised client: whatever waited
// for an acknowledgement on the old one will never get it.
void LogWatch::lose_connection()
{
    if (is_connected) {
        ++delivery.losses;
    }
    is_connected = false;
    delivery.abandoned += delivery.outstanding();
}

DeliveryCounts LogWatch::counts() const
{
    std::lock_guard<std::mutex> guard(lock);
    return delivery;
}

bool LogWatch::connected() const
{
    std::lock_guard<std::mutex> guard(lock);
    return is_connected;
}

uint64_t LogWatch::connections() const
{
    std::lock_guard<std::mutex> guard(lock);
    return accepted;
}

uint64_t LogWatch::clean_disconnects() const
{
    std::lock_guard<std::mutex> guard(lock);
    return clean_closes;
}

std::string LogWatch::last_problem() const
{
    std::lock_guard<std::mutex> guard(lock);
    return problem;
}

std::string LogWatch::last_library_error() const
{
    std::lock_guard<std::mutex> guard(lock);
    return library_error;
}
