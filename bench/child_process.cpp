#include "child_process.h"

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char **environ;

namespace {

void close_fd(int &fd)
{
    if (fd >= 0) {
        close(fd);
        fd = -1;
    }
}

struct SpawnActions {
    posix_spawn_file_actions_t actions;
    SpawnActions() { posix_spawn_file_actions_init(&actions); }
    ~SpawnActions() { posix_spawn_file_actions_destroy(&actions); }
};

} // namespace

ChildProcess::~ChildProcess()
{
    CloseInput();
    close_fd(output_fd);
    if (Running()) {
        Kill(SIGKILL);
        Wait(5000);
    }
}

bool ChildProcess::Start(const std::vector<std::string> &argv, Pipes pipes,
    const std::string &log_path, std::string &error)
{
    log = log_path;
    // Close-on-exec everywhere: a pipe end leaked into another child would
    // keep its reader from ever seeing the end of its input.
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if ((pipes.input && pipe2(in, O_CLOEXEC) != 0) || (pipes.output && pipe2(out, O_CLOEXEC) != 0)) {
        error = std::string("pipe: ") + strerror(errno);
        close_fd(in[0]), close_fd(in[1]), close_fd(out[0]), close_fd(out[1]);
        return false;
    }
    SpawnActions spawn;
    if (pipes.input) {
        posix_spawn_file_actions_adddup2(&spawn.actions, in[0], STDIN_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&spawn.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    }
    if (pipes.output) {
        posix_spawn_file_actions_adddup2(&spawn.actions, out[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&spawn.actions, STDOUT_FILENO, log_path.c_str(),
            O_WRONLY | O_CREAT | O_APPEND, 0644);
    }
    posix_spawn_file_actions_addopen(&spawn.actions, STDERR_FILENO, log_path.c_str(),
        O_WRONLY | O_CREAT | O_APPEND, 0644);

    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    int rc = posix_spawnp(&pid, args[0], &spawn.actions, nullptr, args.data(), environ);
    close_fd(in[0]);
    close_fd(out[1]);
    input_fd = in[1];
    output_fd = out[0];
    if (rc != 0) {
        pid = -1;
        error = argv[0] + ": " + strerror(rc);
        CloseInput();
        close_fd(output_fd);
        return false;
    }
    return true;
}

void ChildProcess::CloseInput()
{
    close_fd(input_fd);
}

bool ChildProcess::ReadLine(std::string &line, int timeout_ms)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        std::size_t end = pending.find('\n');
        if (end != std::string::npos) {
            line = pending.substr(0, end);
            pending.erase(0, end + 1);
            return true;
        }
        if (output_fd < 0 || output_ended) {
            return false;
        }
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        struct pollfd entry = {output_fd, POLLIN, 0};
        int ready = poll(&entry, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
        if (ready <= 0) {
            return false;
        }
        char buffer[4096];
        ssize_t got = read(output_fd, buffer, sizeof buffer);
        if (got <= 0) {
            output_ended = got == 0 || errno != EINTR;
            continue;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
    }
}

bool ChildProcess::Wait(int timeout_ms)
{
    if (!Running()) {
        return true;
    }
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
        pid_t done = wait4(pid, &status, WNOHANG, &usage);
        if (done == pid || (done < 0 && errno != EINTR)) {
            pid = -1;
            return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

long ChildProcess::CpuTicks() const
{
    if (!Running()) {
        return 0;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    std::getline(stat, text);
    // The command name may hold spaces; the fields after it do not.
    std::size_t name_end = text.rfind(')');
    if (name_end == std::string::npos) {
        return 0;
    }
    std::istringstream fields(text.substr(name_end + 2));
    std::string field;
    long ticks = 0;
    // State is field 3; utime and stime are fields 14 and 15.
    for (int number = 3; number <= 15 && fields >> field; ++number) {
        if (number >= 14) {
            ticks += std::strtol(field.c_str(), nullptr, 10);
        }
    }
    return ticks;
}

long ChildProcess::PeakRssKb() const
{
    if (!Running()) {
        return 0;
    }
    std::ifstream status_file("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status_file, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) {
            return std::strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return 0;
}

void ChildProcess::Kill(int signal_number)
{
    if (Running()) {
        kill(pid, signal_number);
    }
}

std::string log_tail(const std::string &path)
{
    constexpr long KEEP = 2000;
    std::ifstream stream(path, std::ios::binary | std::ios::ate);
    long size = stream ? static_cast<long>(stream.tellg()) : 0;
    long from = size > KEEP ? size - KEEP : 0;
    std::string text(static_cast<std::size_t>(size - from), '\0');
    stream.seekg(from);
    stream.read(text.data(), static_cast<std::streamsize>(text.size()));
    return (from > 0 ? "..." : "") + text;
}
