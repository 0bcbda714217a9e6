/*
 * The one way tests, the benchmark and their helpers start programs: a
 * broker, openssl, mosquitto_passwd, mosquitto_pub, the runner, the
 * benchmark's own publisher roles. The child starts with default signal
 * handling and an empty signal mask, whatever the parent's threads block
 * or ignore, so that SIGTERM stops it.
 */
#ifndef TAVRIX_TESTS_SUPPORT_CHILD_PROCESS_H
#define TAVRIX_TESTS_SUPPORT_CHILD_PROCESS_H

#include <chrono>
#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

struct ChildOptions {
    /* Standard error goes here (appended), and standard output unless it
     * is piped to the parent. Empty: /dev/null. */
    std::string log_path;
    /* A pipe from the parent for standard input; else /dev/null. */
    bool pipe_input = false;
    /* A pipe to the parent for standard output. */
    bool pipe_output = false;
};

class ChildProcess
{
public:
    ChildProcess() = default;
    /* As start(). */
    ChildProcess(const std::vector<std::string> &argv, const ChildOptions &options);
    /* Stops a child that still runs. */
    ~ChildProcess();

    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    /* Starts `argv` (argv[0] a path); throws std::runtime_error. */
    void start(const std::vector<std::string> &argv, const ChildOptions &options);

    pid_t pid() const { return child; }
    const std::string &log_path() const { return log; }

    int input_fd() const { return input; }
    void close_input();
    /* One line of the child's piped output, without its newline; false
     * when none came within `timeout_ms` or the output has ended. */
    bool read_line(std::string &line, int timeout_ms);
    bool output_ended() const { return output_done; }

    /* False once the child has exited (and been reaped). */
    bool running();
    /* Waits up to `limit` for the child's exit; true once it has exited. */
    bool wait(std::chrono::milliseconds limit);
    void kill(int signal);
    /* SIGTERM, then SIGKILL when it has not exited within `grace`. */
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

    /* After the exit: its status (128+N for signal N) and its resource use. */
    int exit_status() const { return status; }
    const struct rusage &usage() const { return resources; }

private:
    bool reap(int flags);

    pid_t child = -1;
    int input = -1;
    int output = -1;
    bool output_done = false;
    std::string pending;
    std::string log;
    int status = 0;
    struct rusage resources = {};
};

/* Runs `argv` to its end with its output appended to `log_path`; throws
 * std::runtime_error with that output when it does not exit 0. */
void run_program(const std::vector<std::string> &argv, const std::string &log_path);

#endif
