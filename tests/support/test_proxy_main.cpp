/*
 * tavrix-test-proxy: the fault proxy for shell tests and scripts.
 *
 *   tavrix-test-proxy DIR --upstream PORT [--delay MS_UP:MS_DOWN]
 *
 * Proxies a loopback port of its own to 127.0.0.1:PORT and writes that
 * port to DIR/port once it listens. Then it takes commands on standard
 * input, one a line:
 *
 *   delay MS_UP MS_DOWN    black-hole on|off    silent on|off
 *   cut                    stall up|down on|off
 *
 * ("up" is what the client sends, "down" what it gets). Each has taken
 * effect when DIR/state is rewritten: "applied N", N the commands applied
 * so far, then the settings in force, one a line ("silent on", "stall up
 * off"...). Both files are written aside and renamed into place, so that
 * a reader never sees half of one. An unknown command ends it with status
 * 2, so that a mistyped test fails; so does the end of its input, with 0,
 * and SIGTERM, SIGINT or SIGHUP.
 *
 * A shell test holds its input open through a FIFO:
 *
 *   mkfifo "$dir/input"
 *   tavrix-test-proxy "$dir" --upstream "$port" <"$dir/input" &
 *   exec {to_proxy}>"$dir/input"
 *   echo "silent on" >&"$to_proxy"    # then wait for "applied 1" in $dir/state
 */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <sstream>
#include <stdexcept>
#include <string>

#include <poll.h>
#include <unistd.h>

#include "fault_proxy.h"
#include "scratch_dir.h"

namespace {

struct Settings {
    long delay[2] = {0, 0};
    bool black_hole = false;
    bool silent = false;
    bool stalled[2] = {false, false};
    unsigned long applied = 0;
};

int signal_pipe[2] = {-1, -1};

extern "C" void on_signal(int)
{
    int saved = errno;
    (void)!write(signal_pipe[1], "x", 1);
    errno = saved;
}

void write_atomically(const std::string &path, const std::string &text)
{
    write_file(path + ".tmp", text);
    if (std::rename((path + ".tmp").c_str(), path.c_str()) != 0) {
        throw std::runtime_error("rename " + path + ": " + std::strerror(errno));
    }
}

const char *on_off(bool on)
{
    return on ? "on" : "off";
}

void write_state(const std::string &dir, const Settings &settings)
{
    std::ostringstream text;
    text << "applied " << settings.applied << "\n"
         << "delay " << settings.delay[0] << " " << settings.delay[1] << "\n"
         << "black-hole " << on_off(settings.black_hole) << "\n"
         << "silent " << on_off(settings.silent) << "\n"
         << "stall up " << on_off(settings.stalled[0]) << "\n"
         << "stall down " << on_off(settings.stalled[1]) << "\n";
    write_atomically(dir + "/state", text.str());
}

bool number(const std::string &text, long limit, long &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && value >= 0 && value <= limit;
}

bool switch_word(const std::string &word, bool &on)
{
    on = word == "on";
    return on || word == "off";
}

/* Applies one command; false when it is none. */
bool apply(FaultProxy &proxy, Settings &settings, const std::string &line)
{
    std::istringstream words(line);
    std::string verb, first, second, extra;
    words >> verb >> first >> second >> extra;
    bool on = false;
    long up = 0;
    long down = 0;
    if (!extra.empty()) {
        return false;
    }
    if (verb == "delay" && number(first, 600000, up) && number(second, 600000, down)) {
        proxy.set_delay(std::chrono::milliseconds(up), std::chrono::milliseconds(down));
        settings.delay[0] = up;
        settings.delay[1] = down;
    } else if (verb == "black-hole" && second.empty() && switch_word(first, on)) {
        proxy.black_hole(on);
        settings.black_hole = on;
    } else if (verb == "silent" && second.empty() && switch_word(first, on)) {
        proxy.silent(on);
        settings.silent = on;
    } else if (verb == "cut" && first.empty()) {
        proxy.cut();
    } else if (verb == "stall" && (first == "up" || first == "down") && switch_word(second, on)) {
        bool up_direction = first == "up";
        proxy.stall(up_direction ? FaultProxy::Direction::TO_UPSTREAM :
                                   FaultProxy::Direction::TO_CLIENT,
            on);
        settings.stalled[up_direction ? 0 : 1] = on;
    } else {
        return false;
    }
    return true;
}

/* Runs the commands of standard input until its end or a signal; returns
 * the exit status. */
int serve(FaultProxy &proxy, const std::string &dir, Settings &settings)
{
    std::string pending;
    char chunk[4096];
    for (;;) {
        pollfd watched[2] = {{STDIN_FILENO, POLLIN, 0}, {signal_pipe[0], POLLIN, 0}};
        if (poll(watched, 2, -1) < 0) {
            continue;
        }
        if (watched[1].revents != 0) {
            return 0;
        }
        ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got <= 0) {
            return 0;
        }
        pending.append(chunk, static_cast<std::size_t>(got));
        for (std::size_t end; (end = pending.find('\n')) != std::string::npos;) {
            std::string line = pending.substr(0, end);
            pending.erase(0, end + 1);
            if (line.find_first_not_of(" \t") == std::string::npos) {
                continue;
            }
            if (!apply(proxy, settings, line)) {
                std::fprintf(stderr, "tavrix-test-proxy: unknown command: %s\n", line.c_str());
                return 2;
            }
            ++settings.applied;
            write_state(dir, settings);
        }
    }
}

void catch_signals()
{
    if (pipe(signal_pipe) != 0) {
        throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    }
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

} // namespace

int main(int argc, char **argv)
{
    long upstream = 0;
    Settings settings;
    bool usable = argc >= 4;
    for (int i = 2; usable && i < argc; i += 2) {
        std::string flag = argv[i];
        std::string value = i + 1 < argc ? argv[i + 1] : "";
        std::size_t colon = value.find(':');
        if (flag == "--upstream") {
            usable = number(value, 65535, upstream) && upstream > 0;
        } else if (flag == "--delay" && colon != std::string::npos) {
            usable = number(value.substr(0, colon), 600000, settings.delay[0]) &&
                number(value.substr(colon + 1), 600000, settings.delay[1]);
        } else {
            usable = false;
        }
    }
    if (!usable || upstream == 0) {
        std::fprintf(stderr, "usage: %s DIR --upstream PORT [--delay MS_UP:MS_DOWN]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    try {
        catch_signals();
        FaultProxy proxy(static_cast<uint16_t>(upstream));
        proxy.set_delay(std::chrono::milliseconds(settings.delay[0]),
            std::chrono::milliseconds(settings.delay[1]));
        write_state(dir, settings);
        write_atomically(dir + "/port", std::to_string(proxy.port()) + "\n");
        return serve(proxy, dir, settings);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavrix-test-proxy: %s\n", e.what());
        return 1;
    }
}
