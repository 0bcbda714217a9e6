#include <algorithm>
#include <csignal>
#include <cstdlib>

#include <sys/resource.h>

#include <child_process.h>
#include "process_usage.h"
#include "publisher_driver.h"

namespace {

constexpr auto EXIT_LIMIT = std::chrono::seconds(30);

class ChildRoleDriver : public PublisherDriver
{
public:
    ChildRoleDriver(const std::string &program_, const PublisherArgs &args_)
        : program(program_), args(args_)
    {
    }

    bool Start(std::string &error) override
    {
        std::string log = args.workdir + "/" + args.id + ".log";
        try {
            child.start(args.ToArgv(program), {log, true, true});
        } catch (const std::exception &e) {
            error = e.what();
            return false;
        }
        return true;
    }

    void Poll(int timeout_ms) override
    {
        peak_rss_kb = std::max(peak_rss_kb, peak_rss_kb_of(child.pid()));
        std::string line;
        if (child.read_line(line, timeout_ms)) {
            Take(line);
        } else if (child.output_ended() && failure.empty() && !stopped) {
            failure = "exited early: " + log_tail(child.log_path());
        }
    }

    bool Sent() const override { return sent; }
    int64_t FirstHandOverNs() const override { return first_ns; }
    long CpuTicks() const override { return cpu_ticks_of(child.pid()); }
    std::string Failure() const override { return failure; }

    bool Finish(PublisherCost &cost, std::string &error) override
    {
        stopped = true;
        // The child waits for us with everything it used still counted.
        peak_rss_kb = std::max(peak_rss_kb, peak_rss_kb_of(child.pid()));
        child.close_input();
        if (!child.wait(EXIT_LIMIT)) {
            child.kill(SIGKILL);
            child.wait(EXIT_LIMIT);
            error = "did not stop";
            return false;
        }
        std::string line;
        while (child.read_line(line, 0)) {
            Take(line);
        }
        cost.cpu_seconds = cpu_seconds_of(child.usage());
        cost.peak_rss_kb = peak_rss_kb;
        cost.dropped = dropped;
        cost.host_cpu_seconds = host_cpu_seconds;
        if (!failure.empty()) {
            error = failure;
            return false;
        }
        if (child.exit_status() != 0) {
            error = "exit status " + std::to_string(child.exit_status()) + ": " +
                log_tail(child.log_path());
            return false;
        }
        return true;
    }

private:
    void Take(const std::string &line)
    {
        std::size_t space = line.find(' ');
        std::string word = line.substr(0, space);
        std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
        if (word == "t0") {
            first_ns = std::strtoll(rest.c_str(), nullptr, 10);
        } else if (word == "sent") {
            sent = true;
        } else if (word == "host_cpu") {
            host_cpu_seconds = std::strtod(rest.c_str(), nullptr);
        } else if (word == "dropped") {
            dropped = std::strtoull(rest.c_str(), nullptr, 10);
        } else if (word == "error") {
            failure = rest;
        }
    }

    std::string program;
    PublisherArgs args;
    ChildProcess child;
    bool sent = false;
    bool stopped = false;
    int64_t first_ns = 0;
    uint64_t dropped = 0;
    long peak_rss_kb = 0;
    double host_cpu_seconds = 0;
    std::string failure;
};

} // namespace

std::unique_ptr<PublisherDriver> make_child_role_driver(const std::string &program,
    const PublisherArgs &args)
{
    return std::make_unique<ChildRoleDriver>(program, args);
}
