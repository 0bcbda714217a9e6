#include "bench.h"

#include <sstream>

namespace {

bool connected(const std::string &line, const std::string &client_id)
{
    return line.find("New client connected from ") != std::string::npos &&
        line.find(" as " + client_id + " (") != std::string::npos;
}

bool ends_with_client(const std::string &line, const std::string &client_id)
{
    const std::string subject = "Client " + client_id + " ";
    std::size_t at = line.find(subject);
    if (at == std::string::npos) {
        return false;
    }
    at += subject.size();
    // The client's own DISCONNECT.
    if (line.compare(at, std::string::npos, "disconnected.") == 0) {
        return false;
    }
    for (const std::string ending : {"disconnected", "closed its connection",
             "has exceeded timeout", "been disconnected", "already connected"}) {
        if (line.compare(at, ending.size(), ending) == 0) {
            return true;
        }
    }
    return false;
}

// A socket error: what mosquitto 2.0 logs when it drops a client for more
// QoS 2 messages in flight than it allows.
bool socket_failed(const std::string &line, const std::string &client_id)
{
    const std::string subject = "on client " + client_id;
    std::size_t at = line.find(subject);
    if (at == std::string::npos || at + subject.size() >= line.size()) {
        return false;
    }
    char next = line[at + subject.size()];
    return next == ':' || next == ',';
}

} // namespace

ConnectionHistory connection_history(const std::string &log, const std::string &client_id)
{
    ConnectionHistory history;
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (connected(line, client_id)) {
            ++history.connections;
        } else if (ends_with_client(line, client_id) || socket_failed(line, client_id)) {
            ++history.drops;
        }
    }
    return history;
}
