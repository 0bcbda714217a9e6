#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include "posix_io.h"
#include "scratch_dir.h"
#include "wait.h"

extern char **environ;

namespace {

constexpr auto REAP_STEP = std::chrono::milliseconds(5);

// Both ends close on exec: the child gets its end as a standard stream
// only, and no other child inherits either.
void make_pipe(int ends[2])
{
    if (pipe2(ends, O_CLOEXEC) != 0) {
        throw std::runtime_error(errno_text("pipe"));
    }
}

std::string command_line(const std::vector<std::string> &argv)
{
    std::string line;
    for (const std::string &arg : argv) {
        line += (line.empty() ? "" : " ") + arg;
    }
    return line;
}

} // namespace

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const ChildOptions &options)
{
    start(argv, options);
}

ChildProcess::~ChildProcess()
{
    stop();
    close_input();
    if (output != -1) {
        close(output);
    }
}

void ChildProcess::start(const std::vector<std::string> &argv, const ChildOptions &options)
{
    log = options.log_path;
    const char *sink = log.empty() ? "/dev/null" : log.c_str();
    int in[2] = {-1, -1}, out[2] = {-1, -1};
    if (options.pipe_input) {
        make_pipe(in);
    }
    if (options.pipe_output) {
        make_pipe(out);
    }
    posix_spawn_file_actions_t files;
    posix_spawnattr_t attributes;
    posix_spawn_file_actions_init(&files);
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE, SIGUSR1, SIGUSR2}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (options.pipe_input) {
        posix_spawn_file_actions_adddup2(&files, in[0], 0);
    } else {
        posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    }
    posix_spawn_file_actions_addopen(&files, 2, sink, O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, options.pipe_output ? out[1] : 2, 1);
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);
    int rc = posix_spawn(&child, args[0], &files, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    for (int end : {in[0], out[1]}) {
        if (end != -1) {
            close(end);
        }
    }
    input = in[1];
    output = out[0];
    output_done = !options.pipe_output;
    if (rc != 0) {
        child = -1;
        throw std::runtime_error("cannot start " + argv[0] + ": " + std::strerror(rc));
    }
}

void ChildProcess::close_input()
{
    if (input != -1) {
        close(input);
        input = -1;
    }
}

bool ChildProcess::read_line(std::string &line, int timeout_ms)
{
    for (;;) {
        std::size_t newline = pending.find('\n');
        if (newline != std::string::npos) {
            line = pending.substr(0, newline);
            pending.erase(0, newline + 1);
            return true;
        }
        if (output_done) {
            return false;
        }
        char buffer[4096];
        ssize_t got =
            read_within(output, buffer, sizeof buffer, std::chrono::milliseconds(timeout_ms));
        if (got < 0 && errno == ETIMEDOUT) {
            return false;
        }
        if (got <= 0) {
            output_done = true;
            return false;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
    }
}

bool ChildProcess::reap(int flags)
{
    if (child == -1) {
        return true;
    }
    int raw = 0;
    pid_t reaped = wait4(child, &raw, flags, &resources);
    if (reaped == 0 || (reaped == -1 && errno == EINTR)) {
        return false;
    }
    status = WIFSIGNALED(raw) ? 128 + WTERMSIG(raw) : WEXITSTATUS(raw);
    child = -1;
    return true;
}

bool ChildProcess::running()
{
    return !reap(WNOHANG);
}

bool ChildProcess::wait(std::chrono::milliseconds limit)
{
    return wait_until([this] { return !running(); }, limit, REAP_STEP);
}

void ChildProcess::kill(int signal)
{
    if (child != -1) {
        ::kill(child, signal);
    }
}

void ChildProcess::stop(std::chrono::milliseconds grace)
{
    if (!running()) {
        return;
    }
    kill(SIGTERM);
    // A paused child (a test's stalled broker) takes the SIGTERM only once
    // it runs again.
    kill(SIGCONT);
    if (!wait(grace)) {
        kill(SIGKILL);
        while (!reap(0)) {
        }
    }
}

void run_program(const std::vector<std::string> &argv, const std::string &log_path)
{
    ChildProcess program(argv, {log_path});
    while (program.running()) {
        program.wait(std::chrono::hours(1));
    }
    if (program.exit_status() != 0) {
        throw std::runtime_error("failed: " + command_line(argv) + "\n" + read_file(log_path));
    }
}
