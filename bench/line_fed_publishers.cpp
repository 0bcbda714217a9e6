/*
 * Publishers that read the cell's payloads as lines on their standard
 * input, fed by a thread of ours each: mosquitto_pub -l, one process per
 * channel (it publishes to one topic), and tavrix-sink-run, one process
 * for every channel. Their cost is read from the processes' own resource
 * usage; feeding them is the host's work and is not counted.
 */
#include <algorithm>
#include <atomic>
#include <csignal>
#include <fstream>
#include <thread>
#include <vector>

#include <child_process.h>

#include "clock.h"
#include "payload.h"
#include "process_usage.h"
#include "publisher_driver.h"

namespace {

constexpr auto EXIT_LIMIT = std::chrono::seconds(30);

using CommandLines = std::vector<std::vector<std::string>>;

class LineFedDriver : public PublisherDriver
{
public:
    LineFedDriver(const PublisherArgs &args_, CommandLines command_lines_, std::string name_)
        : args(args_), command_lines(std::move(command_lines_)), name(std::move(name_)),
          peaks_kb(command_lines.size(), 0)
    {
    }

    ~LineFedDriver() override { JoinFeeders(); }

    bool Start(std::string &error) override
    {
        try {
            // Only what started: a failed start still reaches Finish.
            for (std::size_t i = 0; i < command_lines.size(); ++i) {
                std::string log = args.workdir + "/" + args.id + "-" + std::to_string(i) + ".log";
                processes.push_back(std::make_unique<ChildProcess>(command_lines[i],
                    ChildOptions{log, true, false}));
            }
        } catch (const std::exception &e) {
            error = e.what();
            return false;
        }
        for (auto &process : processes) {
            feeders.emplace_back([this, &process] { Feed(*process); });
        }
        return true;
    }

    void Poll(int timeout_ms) override
    {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        SamplePeaks();
    }

    bool Sent() const override { return fed.load() == processes.size(); }
    int64_t FirstHandOverNs() const override { return first_ns.load(); }
    long CpuTicks() const override
    {
        long ticks = 0;
        for (const auto &process : processes) {
            ticks += cpu_ticks_of(process->pid());
        }
        return ticks;
    }

    std::string Failure() const override
    {
        return feed_failed.load() ? name + " stopped reading its input" : "";
    }

    bool Finish(PublisherCost &cost, std::string &error) override
    {
        SamplePeaks();
        if (!Sent()) {
            // Given up on: a feeder blocked on a full pipe gets its error
            // only once the reader is gone.
            for (auto &process : processes) {
                process->kill(SIGKILL);
            }
        }
        JoinFeeders();
        bool ended_well = true;
        for (auto &process : processes) {
            if (!process->wait(EXIT_LIMIT)) {
                process->kill(SIGKILL);
                process->wait(EXIT_LIMIT);
                error = name + " did not exit";
                ended_well = false;
                continue;
            }
            cost.cpu_seconds += cpu_seconds_of(process->usage());
            if (process->exit_status() != 0) {
                error = name + ": exit status " + std::to_string(process->exit_status()) + ": " +
                    log_tail(process->log_path());
                ended_well = false;
            }
        }
        if (feed_failed.load()) {
            error = Failure();
            ended_well = false;
        }
        for (long peak : peaks_kb) {
            cost.peak_rss_kb += peak;
        }
        return ended_well;
    }

private:
    // Sampled while the processes live: each exits on its own once its
    // input has ended and its messages are out.
    void SamplePeaks()
    {
        for (std::size_t i = 0; i < processes.size(); ++i) {
            peaks_kb[i] = std::max(peaks_kb[i], peak_rss_kb_of(processes[i]->pid()));
        }
    }

    void Feed(ChildProcess &process)
    {
        PayloadStamper stamper(args.cell.size);
        for (uint64_t seq = 0; seq < args.cell.payloads; ++seq) {
            int64_t stamp = bench_now_ns();
            if (seq == 0) {
                NoteFirst(stamp);
            }
            // The stamper's buffer ends in a newline: one write per line.
            if (!write_all(process.input_fd(), stamper.Stamp(seq, stamp), stamper.size() + 1)) {
                feed_failed.store(true);
                break;
            }
        }
        process.close_input();
        ++fed;
    }

    void NoteFirst(int64_t stamp)
    {
        int64_t known = first_ns.load();
        while ((known == 0 || stamp < known) && !first_ns.compare_exchange_weak(known, stamp)) {
        }
    }

    void JoinFeeders()
    {
        for (std::thread &feeder : feeders) {
            feeder.join();
        }
        feeders.clear();
    }

    PublisherArgs args;
    CommandLines command_lines;
    std::string name;
    std::vector<std::unique_ptr<ChildProcess>> processes;
    std::vector<long> peaks_kb;
    std::vector<std::thread> feeders;
    std::atomic<std::size_t> fed{0};
    std::atomic<int64_t> first_ns{0};
    std::atomic<bool> feed_failed{false};
};

// The runner's configuration: the plug-in's topic template, as the
// plug-in role has it.
std::string write_runner_config(const PublisherArgs &args)
{
    std::string path = args.workdir + "/" + args.id + "-sink-run.json";
    std::ofstream config(path);
    config << "{\"host\": \"127.0.0.1\", \"port\": " << args.port << ", \"topic\": \""
           << cell_topic_prefix(args.id) << "/${channel}\", \"message_qos\": " << args.cell.qos
           << "}\n";
    return path;
}

} // namespace

std::unique_ptr<PublisherDriver> make_pub_cli_driver(const PublisherArgs &args)
{
    CommandLines command_lines;
    for (int channel = 0; channel < args.cell.channels; ++channel) {
        std::string topic = cell_topic_prefix(args.id) + "/" + channel_name(channel);
        command_lines.push_back({TAVRIX_MOSQUITTO_PUB, "-h", "127.0.0.1", "-p",
            std::to_string(args.port), "-q", std::to_string(args.cell.qos), "-t", topic, "-l", "-i",
            client_id_of(PublisherKind::PUB_CLI, args.id, channel)});
    }
    return std::make_unique<LineFedDriver>(args, command_lines, "mosquitto_pub");
}

std::unique_ptr<PublisherDriver> make_sink_run_driver(const PublisherArgs &args)
{
    std::vector<std::string> argv = {TAVRIX_SINK_RUN, "--config", write_runner_config(args),
        "--plugin", TAVRIX_PLUGIN_PATH, "--uuid-agent",
        client_id_of(PublisherKind::SINK_RUN, args.id)};
    for (int channel = 0; channel < args.cell.channels; ++channel) {
        argv.insert(argv.end(), {"--channel", channel_name(channel)});
    }
    return std::make_unique<LineFedDriver>(args, CommandLines{argv}, "tavrix-sink-run");
}
