#include "broker.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fstream>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

constexpr int START_ATTEMPTS = 5;
constexpr auto READY_TIMEOUT = std::chrono::seconds(10);

// The kernel's pick of a free port. It is free only until someone else
// takes it, hence the retries in Start.
int free_loopback_port()
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = -1;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0 &&
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    close(fd);
    return port;
}

bool accepts_connections(int port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    struct sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    bool connected = connect(fd, reinterpret_cast<struct sockaddr *>(&address), sizeof address) == 0;
    close(fd);
    return connected;
}

std::string write_config(const std::string &workdir, int port)
{
    std::string path = workdir + "/mosquitto.conf";
    std::ofstream config(path);
    config << "listener " << port << " 127.0.0.1\n"
           << "allow_anonymous true\n"
           // No queue limits: a slow subscriber must not turn into losses
           // that would be blamed on a publisher.
           << "max_queued_messages 0\n"
           << "max_inflight_messages 0\n"
           << "persistence false\n"
           // Connections and disconnections too: the log is kept when a
           // run fails.
           << "log_dest stderr\n"
           << "log_type error\n"
           << "log_type warning\n"
           << "log_type notice\n"
           << "log_type information\n";
    // As root, mosquitto would otherwise drop to a user that cannot read
    // our private directory.
    if (geteuid() == 0) {
        config << "user root\n";
    }
    return path;
}

// Debian installs the broker in /usr/sbin, which a non-login PATH may lack.
std::string broker_program()
{
    const char *installed = "/usr/sbin/mosquitto";
    return access(installed, X_OK) == 0 ? installed : "mosquitto";
}

} // namespace

bool Broker::Start(const std::string &workdir, std::string &error)
{
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        int candidate = free_loopback_port();
        if (candidate > 0 && StartOn(candidate, workdir, error)) {
            port = candidate;
            return true;
        }
    }
    return false;
}

bool Broker::StartOn(int candidate, const std::string &workdir, std::string &error)
{
    std::string config = write_config(workdir, candidate);
    if (!process.Start({broker_program(), "-c", config}, {false, false}, workdir + "/mosquitto.log", error)) {
        return false;
    }
    auto deadline = std::chrono::steady_clock::now() + READY_TIMEOUT;
    while (std::chrono::steady_clock::now() < deadline) {
        if (accepts_connections(candidate)) {
            return true;
        }
        if (process.Wait(20)) {
            error = "mosquitto exited: " + log_tail(process.LogPath());
            return false;
        }
    }
    error = "mosquitto did not listen on port " + std::to_string(candidate);
    process.Kill(SIGKILL);
    process.Wait(5000);
    return false;
}

void Broker::Stop()
{
    process.Kill(SIGTERM);
    if (!process.Wait(5000)) {
        process.Kill(SIGKILL);
        process.Wait(5000);
    }
}
