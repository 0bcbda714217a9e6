#include "broker.h"

#include <csignal>
#include <filesystem>
#include <sstream>
#include <stdexcept>

#include <pwd.h>
#include <unistd.h>

#include "wait.h"

#ifndef TAVRIX_MOSQUITTO_BROKER
#error "TAVRIX_MOSQUITTO_BROKER must name the broker program"
#endif
#ifndef TAVRIX_MOSQUITTO_PASSWD
#define TAVRIX_MOSQUITTO_PASSWD "mosquitto_passwd"
#endif

namespace {

// Another process may take a port between the kernel's pick and the
// broker's bind; fresh ports are then tried.
constexpr int START_ATTEMPTS = 5;
constexpr auto START_LIMIT = std::chrono::seconds(10);

bool accepts_connections(uint16_t port)
{
    int fd = connect_loopback(port);
    bool accepted = fd != -1 && connect_outcome(fd, std::chrono::seconds(1)) == 0;
    if (fd != -1) {
        close(fd);
    }
    return accepted;
}

// As root the broker would switch to the user mosquitto, which cannot
// read the caller's private directory.
std::string current_user()
{
    struct passwd *entry = getpwuid(geteuid());
    return entry == nullptr ? "root" : entry->pw_name;
}

} // namespace

BrokerOptions quiet_broker()
{
    BrokerOptions options;
    options.log_packets = false;
    return options;
}

Broker::Broker(BrokerOptions options_) : options(std::move(options_)), path(options.dir)
{
    if (path.empty()) {
        scratch = std::make_unique<ScratchDir>();
        path = scratch->path();
    } else {
        std::filesystem::create_directories(path);
    }
    write_passwords();
    for (int attempt = 0; attempt < START_ATTEMPTS; ++attempt) {
        main_port = free_loopback_port();
        plain_port = options.tls ? free_loopback_port() : main_port;
        write_configuration({});
        if (launch()) {
            return;
        }
    }
    throw std::runtime_error("mosquitto did not start:\n" + read_file(path + "/mosquitto.out") +
        log());
}

void Broker::write_passwords()
{
    // The first user creates the file, the others are added to it.
    bool create = true;
    for (const auto &[user, pass] : options.users) {
        std::vector<std::string> argv{TAVRIX_MOSQUITTO_PASSWD, "-b"};
        if (create) {
            argv.push_back("-c");
            create = false;
        }
        argv.insert(argv.end(), {path + "/passwords", user, pass});
        run_program(argv, path + "/mosquitto_passwd.out");
    }
}

void Broker::write_configuration(const std::vector<std::string> &more_lines)
{
    std::ostringstream conf;
    conf << "per_listener_settings false\n";
    if (options.persistent) {
        conf << "persistence true\n"
             << "persistence_location " << path << "/\n"
             << "autosave_interval 0\n";
    } else {
        conf << "persistence false\n";
    }
    conf << "log_dest file " << log_path() << "\n"
         << "connection_messages true\n"
         << "user " << current_user() << "\n";
    if (options.log_packets) {
        conf << "log_type all\n";
    } else {
        for (const char *type : {"error", "warning", "notice", "information", "subscribe"}) {
            conf << "log_type " << type << "\n";
        }
    }
    if (options.users.empty()) {
        conf << "allow_anonymous true\n";
    } else {
        conf << "allow_anonymous false\n"
             << "password_file " << path << "/passwords\n";
    }
    conf << "listener " << main_port << " 127.0.0.1\n";
    if (options.tls) {
        conf << "cafile " << options.tls->ca_file << "\n"
             << "certfile " << options.tls->cert_file << "\n"
             << "keyfile " << options.tls->key_file << "\n"
             << "require_certificate " << (options.tls->require_certificate ? "true" : "false")
             << "\n"
             << "listener " << plain_port << " 127.0.0.1\n";
    }
    for (const auto &lines : {options.extra_lines, more_lines}) {
        for (const std::string &line : lines) {
            conf << line << "\n";
        }
    }
    write_file(path + "/mosquitto.conf", conf.str());
}

bool Broker::launch()
{
    process = std::make_unique<ChildProcess>(
        std::vector<std::string>{TAVRIX_MOSQUITTO_BROKER, "-c", path + "/mosquitto.conf"},
        ChildOptions{path + "/mosquitto.out"});
    bool up = wait_until(
        [this] {
            return !process->running() ||
                (accepts_connections(main_port) && accepts_connections(plain_port));
        },
        START_LIMIT);
    if (up && process->running()) {
        return true;
    }
    process.reset();
    return false;
}

void Broker::pause()
{
    if (process) {
        process->kill(SIGSTOP);
    }
}

void Broker::resume()
{
    if (process) {
        process->kill(SIGCONT);
    }
}

void Broker::start(const std::vector<std::string> &more_lines)
{
    if (process && process->running()) {
        return;
    }
    write_configuration(more_lines);
    if (!launch()) {
        throw std::runtime_error("mosquitto did not start again on port " +
            std::to_string(main_port) + ":\n" + read_file(path + "/mosquitto.out"));
    }
}

std::string Broker::log_path() const
{
    return path + "/mosquitto.log";
}

std::string Broker::log() const
{
    return read_file(log_path());
}

std::size_t Broker::log_count(const std::string &text) const
{
    std::string whole = log();
    std::size_t count = 0;
    for (std::size_t at = whole.find(text); at != std::string::npos;
         at = whole.find(text, at + text.size())) {
        ++count;
    }
    return count;
}

bool Broker::wait_for_log(const std::string &text, std::size_t times,
    std::chrono::milliseconds limit) const
{
    return wait_until([&] { return log_count(text) >= times; }, limit);
}
