#include "child_process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>

#include "scratch_dir.h"

extern char **environ;

namespace {

constexpr auto POLL_STEP = std::chrono::milliseconds(20);

pid_t spawn(const std::vector<std::string> &argv, const std::string &output_path)
{
    std::vector<char *> args;
    for (const std::string &arg : argv) {
        args.push_back(const_cast<char *>(arg.c_str()));
    }
    args.push_back(nullptr);

    posix_spawn_file_actions_t files;
    posix_spawn_file_actions_init(&files);
    posix_spawn_file_actions_addopen(&files, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&files, 1, output_path.c_str(),
        O_WRONLY | O_CREAT | O_APPEND, 0644);
    posix_spawn_file_actions_adddup2(&files, 1, 2);

    // The child starts with default signal handling whatever the test
    // runner's thread had blocked or ignored, so SIGTERM stops it.
    posix_spawnattr_t attributes;
    posix_spawnattr_init(&attributes);
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) {
        sigaddset(&defaults, signal);
    }
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);

    pid_t child = -1;
    int rc = posix_spawn(&child, args[0], &files, &attributes, args.data(), environ);
    posix_spawnattr_destroy(&attributes);
    posix_spawn_file_actions_destroy(&files);
    if (rc != 0) {
        throw std::runtime_error("cannot start " + argv[0] + ": " + strerror(rc));
    }
    return child;
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

void run_program(const std::vector<std::string> &argv, const std::string &output_path)
{
    pid_t child = spawn(argv, output_path);
    int status = 0;
    while (waitpid(child, &status, 0) == -1 && errno == EINTR) {
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        throw std::runtime_error("failed: " + command_line(argv) + "\n" + read_file(output_path));
    }
}

ChildProcess::ChildProcess(const std::vector<std::string> &argv, const std::string &output_path)
    : pid(spawn(argv, output_path))
{
}

ChildProcess::~ChildProcess()
{
    stop();
}

bool ChildProcess::running()
{
    if (pid == -1) {
        return false;
    }
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return false;
    }
    return true;
}

void ChildProcess::stop(std::chrono::milliseconds grace)
{
    if (!running()) {
        return;
    }
    kill(pid, SIGTERM);
    if (!wait_until([this] { return !running(); }, grace)) {
        kill(pid, SIGKILL);
        int status = 0;
        waitpid(pid, &status, 0);
        pid = -1;
    }
}

bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit)
{
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(POLL_STEP);
    }
    return true;
}
