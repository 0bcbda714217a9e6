/*
 * tavrix-test-broker: the broker launcher for shell tests and scripts.
 *
 *   tavrix-test-broker DIR [--packets] [--persistent] [--tls] [--user NAME:PASSWORD]...
 *       [--conf LINE]...
 *
 * Starts a broker with its files in DIR (log: DIR/mosquitto.log) and
 * keeps it until SIGTERM, SIGINT or SIGHUP. DIR/state tells the shell
 * where it is: "running PORT PID" or "stopped PORT -". SIGUSR1 stops the
 * broker; SIGUSR2 starts it again on the same port, with the lines of
 * DIR/restart.conf (if any) added. --packets logs every packet;
 * --persistent keeps sessions and queued messages across the restart; --tls
 * makes PORT a TLS listener for 127.0.0.1 and localhost, whose CA it
 * writes to DIR/ca.crt; --user adds a user and refuses anonymous clients;
 * --conf adds a configuration line.
 */
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <sstream>
#include <string>
#include <vector>

#include "broker.h"
#include "scratch_dir.h"
#include "tls_material.h"

namespace {

void write_state(const Broker &broker)
{
    std::string pid = broker.pid() == -1 ? "-" : std::to_string(broker.pid());
    write_file(broker.dir() + "/state", std::string(broker.pid() == -1 ? "stopped " : "running ") +
        std::to_string(broker.port()) + " " + pid + "\n");
}

std::vector<std::string> restart_lines(const Broker &broker)
{
    std::vector<std::string> lines;
    std::istringstream text(read_file(broker.dir() + "/restart.conf"));
    for (std::string line; std::getline(text, line);) {
        lines.push_back(line);
    }
    return lines;
}

BrokerOptions parse(int argc, char **argv)
{
    BrokerOptions options = quiet_broker();
    options.dir = argv[1];
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--packets") == 0) {
            options.log_packets = true;
        } else if (std::strcmp(argv[i], "--persistent") == 0) {
            options.persistent = true;
        } else if (std::strcmp(argv[i], "--tls") == 0) {
            options.tls = tls_broker().tls;
            write_file(options.dir + "/ca.crt", read_file(TlsMaterial::get().ca_file()));
        } else if (std::strcmp(argv[i], "--conf") == 0 && i + 1 < argc) {
            options.extra_lines.push_back(argv[++i]);
        } else if (std::strcmp(argv[i], "--user") == 0 && i + 1 < argc &&
            std::strchr(argv[i + 1], ':') != nullptr) {
            std::string user = argv[++i];
            options.users[user.substr(0, user.find(':'))] = user.substr(user.find(':') + 1);
        } else {
            throw std::runtime_error(std::string("unknown argument ") + argv[i]);
        }
    }
    return options;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr,
            "usage: %s DIR [--packets] [--persistent] [--tls] [--user NAME:PASSWORD]...\n"
            "    [--conf LINE]...\n",
            argv[0]);
        return 2;
    }
    // Blocked before any thread exists; the broker's process starts with
    // them unblocked.
    sigset_t signals;
    sigemptyset(&signals);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1, SIGUSR2}) {
        sigaddset(&signals, signal);
    }
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    try {
        Broker broker(parse(argc, argv));
        write_state(broker);
        for (;;) {
            int signal = 0;
            sigwait(&signals, &signal);
            if (signal == SIGUSR1) {
                broker.stop();
            } else if (signal == SIGUSR2) {
                broker.start(restart_lines(broker));
            } else {
                return 0;
            }
            write_state(broker);
        }
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavrix-test-broker: %s\n", e.what());
        return 1;
    }
}
