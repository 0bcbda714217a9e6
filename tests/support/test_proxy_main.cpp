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
 * and SIGTERM, SIGINT or SIGHUP. A shell test holds its input open
 * through a FIFO, as proxy_start in tests/e2e/e2e_lib.sh does.
 */
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include <poll.h>
#include <unistd.h>

#include "fault_proxy.h"
#include "scratch_dir.h"

namespace {

constexpr long MAX_DELAY_MS = 600000;
// The settings in the order of the state file, each named there as the
// command that changes it, and shown as the rest of that command.
const char *const SETTINGS[] = {"delay", "black-hole", "silent", "stall up", "stall down"};
using Shown = std::map<std::string, std::string>;

volatile sig_atomic_t signalled = 0;

extern "C" void on_signal(int)
{
    signalled = 1;
}

void write_state(const std::string &dir, unsigned long applied, Shown &shown)
{
    std::string text = "applied " + std::to_string(applied) + "\n";
    for (const char *name : SETTINGS) {
        text += name + (" " + shown[name]) + "\n";
    }
    write_file(dir + "/state", text);
}

bool number(const std::string &text, long limit, long &value)
{
    char *end = nullptr;
    errno = 0;
    value = std::strtol(text.c_str(), &end, 10);
    return !text.empty() && *end == '\0' && errno == 0 && value >= 0 && value <= limit;
}

bool delays(const std::string &up, const std::string &down, long value[2])
{
    return number(up, MAX_DELAY_MS, value[0]) && number(down, MAX_DELAY_MS, value[1]);
}

/* Applies the command on `line`, a line with a word at least; false when
 * it is none. */
bool apply(FaultProxy &proxy, Shown &shown, const std::string &line)
{
    std::istringstream in(line);
    std::vector<std::string> words{std::istream_iterator<std::string>(in), {}};
    std::size_t named = words[0] == "stall" ? 2 : 1;
    if (words.size() < named) {
        return false;
    }
    std::string name = named == 1 ? words[0] : words[0] + " " + words[1];
    std::vector<std::string> rest(words.begin() + static_cast<long>(named), words.end());
    bool on = rest.size() == 1 && rest[0] == "on";
    bool switched = on || (rest.size() == 1 && rest[0] == "off");
    long delay[2] = {0, 0};
    if (name == "delay" && rest.size() == 2 && delays(rest[0], rest[1], delay)) {
        proxy.set_delay(std::chrono::milliseconds(delay[0]), std::chrono::milliseconds(delay[1]));
        shown[name] = std::to_string(delay[0]) + " " + std::to_string(delay[1]);
    } else if (name == "black-hole" && switched) {
        proxy.black_hole(on);
    } else if (name == "silent" && switched) {
        proxy.silent(on);
    } else if ((name == "stall up" || name == "stall down") && switched) {
        proxy.stall(name == "stall up" ? FaultProxy::Direction::TO_UPSTREAM :
                                         FaultProxy::Direction::TO_CLIENT,
            on);
    } else if (name == "cut" && rest.empty()) {
        proxy.cut();
    } else {
        return false;
    }
    if (switched) {
        shown[name] = rest[0];
    }
    return true;
}

/* Runs the commands of standard input until its end or a signal; returns
 * the exit status. The signals come only while it waits for input, so
 * that they cut no command short. */
int serve(FaultProxy &proxy, const std::string &dir, Shown &shown)
{
    sigset_t none;
    sigemptyset(&none);
    std::string pending;
    char chunk[4096];
    for (unsigned long applied = 1; !signalled;) {
        pollfd watched{STDIN_FILENO, POLLIN, 0};
        if (ppoll(&watched, 1, nullptr, &none) < 0) {
            continue;
        }
        ssize_t got = read(STDIN_FILENO, chunk, sizeof chunk);
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
            if (!apply(proxy, shown, line)) {
                std::fprintf(stderr, "tavrix-test-proxy: unknown command: %s\n", line.c_str());
                return 2;
            }
            write_state(dir, applied++, shown);
        }
    }
    return 0;
}

/* Blocked before the proxy's thread starts, which keeps them so. */
void catch_signals()
{
    struct sigaction action = {};
    action.sa_handler = on_signal;
    sigemptyset(&action.sa_mask);
    sigset_t blocked;
    sigemptyset(&blocked);
    for (int signal : {SIGTERM, SIGINT, SIGHUP}) {
        sigaction(signal, &action, nullptr);
        sigaddset(&blocked, signal);
    }
    sigprocmask(SIG_BLOCK, &blocked, nullptr);
}

} // namespace

int main(int argc, char **argv)
{
    long upstream = 0;
    long delay[2] = {0, 0};
    bool usable = argc >= 4;
    for (int i = 2; usable && i < argc; i += 2) {
        std::string flag = argv[i];
        std::string value = i + 1 < argc ? argv[i + 1] : "";
        std::size_t colon = value.find(':');
        if (flag == "--upstream") {
            usable = number(value, 65535, upstream) && upstream > 0;
        } else {
            usable = flag == "--delay" && colon != std::string::npos &&
                delays(value.substr(0, colon), value.substr(colon + 1), delay);
        }
    }
    if (!usable || upstream == 0) {
        std::fprintf(stderr, "usage: %s DIR --upstream PORT [--delay MS_UP:MS_DOWN]\n", argv[0]);
        return 2;
    }
    const std::string dir = argv[1];
    Shown shown;
    for (const char *name : SETTINGS) {
        shown[name] = "off";
    }
    try {
        catch_signals();
        FaultProxy proxy(static_cast<uint16_t>(upstream));
        apply(proxy, shown, "delay " + std::to_string(delay[0]) + " " + std::to_string(delay[1]));
        write_state(dir, 0, shown);
        write_file(dir + "/port", std::to_string(proxy.port()) + "\n");
        return serve(proxy, dir, shown);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavrix-test-proxy: %s\n", e.what());
        return 1;
    }
}
