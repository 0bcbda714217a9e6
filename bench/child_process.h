/*
 * A child process of the benchmark: the broker, a publisher, or
 * mosquitto_pub. Its standard input and output can be pipes to us; its
 * standard error goes to a file that is shown when something fails.
 */
#ifndef TAVRIX_BENCH_CHILD_PROCESS_H
#define TAVRIX_BENCH_CHILD_PROCESS_H

#include <string>
#include <vector>

#include <sys/resource.h>
#include <sys/types.h>

class ChildProcess
{
public:
    struct Pipes {
        bool input;
        bool output;
    };

    ChildProcess() = default;
    /* Kills and reaps a child still running. */
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    /* false (with `error` set) when the program cannot be started. */
    bool Start(const std::vector<std::string> &argv, Pipes pipes, const std::string &log_path,
        std::string &error);

    int InputFd() const { return input_fd; }
    void CloseInput();

    /* One line of the child's output, without its newline; false when
     * none came within `timeout_ms` or the output has ended. */
    bool ReadLine(std::string &line, int timeout_ms);
    bool OutputEnded() const { return output_ended; }

    /* Waits up to `timeout_ms` for the child's exit; true once it has
     * exited (then ExitStatus and Usage are valid). */
    bool Wait(int timeout_ms);
    bool Running() const { return pid > 0; }
    void Kill(int signal_number);

    /* CPU time used so far, in clock ticks; what tells a busy child from
     * a stuck one. */
    long CpuTicks() const;

    /* The child's peak resident set so far, in KiB (VmHWM); 0 once it has
     * exited. The rusage figure cannot stand in for it: it also counts the
     * peak of the address space the child had before its exec, ours. */
    long PeakRssKb() const;

    int ExitStatus() const { return status; }
    const struct rusage &Usage() const { return usage; }
    const std::string &LogPath() const { return log; }

private:
    pid_t pid = -1;
    int input_fd = -1;
    int output_fd = -1;
    bool output_ended = false;
    std::string pending;
    std::string log;
    int status = 0;
    struct rusage usage = {};
};

/* The last lines of a log file, for error reports. */
std::string log_tail(const std::string &path);

#endif
