/*
 * Programs the tests run: tools that must finish (openssl,
 * mosquitto_passwd) and a broker that runs until it is stopped.
 */
#ifndef TAVRIX_TESTS_INTEGRATION_CHILD_PROCESS_H
#define TAVRIX_TESTS_INTEGRATION_CHILD_PROCESS_H

#include <chrono>
#include <functional>
#include <string>
#include <vector>

#include <sys/types.h>

/* Runs `argv` to its end with its output appended to `output_path`;
 * throws std::runtime_error with that output when it does not exit 0. */
void run_program(const std::vector<std::string> &argv, const std::string &output_path);

/* A running program, standard output and error appended to a file. */
class ChildProcess
{
public:
    ChildProcess(const std::vector<std::string> &argv, const std::string &output_path);
    /* Stops the program if it still runs. */
    ~ChildProcess();

    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    /* False once the program has exited (and been reaped). */
    bool running();
    /* SIGTERM, then SIGKILL when it has not exited within `grace`. */
    void stop(std::chrono::milliseconds grace = std::chrono::seconds(5));

private:
    pid_t pid;
};

/* Polls `condition` every few milliseconds until it holds or `limit`
 * passes; true when it held. */
bool wait_until(const std::function<bool()> &condition, std::chrono::milliseconds limit);

#endif
