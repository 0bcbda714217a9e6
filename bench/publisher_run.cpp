/*
 * The parent's side of the publishers. A child role is the benchmark
 * program again and tells how it is doing on its standard output. The
 * line-fed publishers, mosquitto_pub -l (one process per channel: it
 * publishes to one topic) and tavrix-sink-run (one process for every
 * channel), read the cell's payloads on their standard input, fed by a
 * thread of ours each; feeding them is the host's work and is not counted.
 * Every publisher's cost is read from its processes' own resource usage.
 */
#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fstream>

#include <child_process.h>

#include "bench.h"

namespace {

constexpr auto EXIT_LIMIT = std::chrono::seconds(30);

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

PublisherRun::PublisherRun(const BenchContext &context, const PublisherArgs &args_) : args(args_)
{
    if (args.cell.kind == PublisherKind::PUB_CLI) {
        fed_name = "mosquitto_pub";
        for (int channel = 0; channel < args.cell.channels; ++channel) {
            std::string topic = cell_topic_prefix(args.id) + "/" + channel_name(channel);
            command_lines.push_back({TAVRIX_MOSQUITTO_PUB, "-h", "127.0.0.1", "-p",
                std::to_string(args.port), "-q", std::to_string(args.cell.qos), "-t", topic, "-l",
                "-i", client_id_of(PublisherKind::PUB_CLI, args.id, channel)});
        }
    } else if (args.cell.kind == PublisherKind::SINK_RUN) {
        fed_name = "tavrix-sink-run";
        std::vector<std::string> argv = {TAVRIX_SINK_RUN, "--config", write_runner_config(args),
            "--plugin", TAVRIX_PLUGIN_PATH, "--uuid-agent",
            client_id_of(PublisherKind::SINK_RUN, args.id)};
        for (int channel = 0; channel < args.cell.channels; ++channel) {
            argv.insert(argv.end(), {"--channel", channel_name(channel)});
        }
        command_lines.push_back(argv);
    } else {
        command_lines.push_back(args.to_argv(context.program));
    }
    peaks_kb.resize(command_lines.size(), 0);
}

PublisherRun::~PublisherRun()
{
    join_feeders();
}

bool PublisherRun::start(std::string &error)
{
    const bool fed = !fed_name.empty();
    try {
        // Only what started: a failed start still reaches finish.
        for (std::size_t i = 0; i < command_lines.size(); ++i) {
            std::string log = args.workdir + "/" + args.id +
                (fed ? "-" + std::to_string(i) : std::string()) + ".log";
            processes.push_back(
                std::make_unique<ChildProcess>(command_lines[i], ChildOptions{log, true, !fed}));
        }
    } catch (const std::exception &e) {
        error = e.what();
        return false;
    }
    for (std::size_t i = 0; fed && i < processes.size(); ++i) {
        feeders.emplace_back([this, i] { feed(*processes[i]); });
    }
    return true;
}

void PublisherRun::poll(int timeout_ms)
{
    sample_peaks();
    ChildProcess &child = *processes.front();
    std::string line;
    if (!fed_name.empty()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    } else if (child.read_line(line, timeout_ms)) {
        take(line);
    } else if (child.output_ended() && reported_failure.empty() && !stopping) {
        reported_failure = "exited early: " + log_tail(child.log_path());
    }
}

long PublisherRun::cpu_ticks() const
{
    long ticks = 0;
    for (const auto &process : processes) {
        ticks += cpu_ticks_of(process->pid());
    }
    return ticks;
}

std::string PublisherRun::failure() const
{
    return feed_failed.load() ? fed_name + " stopped reading its input" : reported_failure;
}

bool PublisherRun::finish(PublisherCost &cost, std::string &error)
{
    stopping = true;
    // A child role waits for us with everything it used still counted; the
    // line-fed ones may have exited already.
    sample_peaks();
    if (!feeders.empty() && !sent()) {
        // Given up on: a feeder blocked on a full pipe gets its error only
        // once the reader is gone.
        for (auto &process : processes) {
            process->kill(SIGKILL);
        }
    }
    join_feeders();
    const std::string who = fed_name.empty() ? "" : fed_name + ": ";
    bool ended_well = true;
    for (auto &process : processes) {
        process->close_input();
        if (!process->wait(EXIT_LIMIT)) {
            process->kill(SIGKILL);
            process->wait(EXIT_LIMIT);
            error = who + "did not stop";
            ended_well = false;
            continue;
        }
        std::string line;
        while (fed_name.empty() && process->read_line(line, 0)) {
            take(line);
        }
        cost.cpu_seconds += cpu_seconds_of(process->usage());
        if (process->exit_status() != 0) {
            error = who + "exit status " + std::to_string(process->exit_status()) + ": " +
                log_tail(process->log_path());
            ended_well = false;
        }
    }
    if (!failure().empty()) {
        error = failure();
        ended_well = false;
    }
    cost.host_cpu_seconds = reported.host_cpu_seconds;
    cost.dropped = reported.dropped;
    for (long peak : peaks_kb) {
        cost.peak_rss_kb += peak;
    }
    return ended_well;
}

// Sampled while the processes live: a line-fed one exits on its own once
// its input has ended and its messages are out.
void PublisherRun::sample_peaks()
{
    for (std::size_t i = 0; i < processes.size(); ++i) {
        peaks_kb[i] = std::max(peaks_kb[i], peak_rss_kb_of(processes[i]->pid()));
    }
}

void PublisherRun::take(const std::string &line)
{
    std::size_t space = line.find(' ');
    std::string word = line.substr(0, space);
    std::string rest = space == std::string::npos ? "" : line.substr(space + 1);
    if (word == "t0") {
        first_ns.store(std::strtoll(rest.c_str(), nullptr, 10));
    } else if (word == "sent") {
        sent_by.store(processes.size());
    } else if (word == "host_cpu") {
        reported.host_cpu_seconds = std::strtod(rest.c_str(), nullptr);
    } else if (word == "dropped") {
        reported.dropped = std::strtoull(rest.c_str(), nullptr, 10);
    } else if (word == "error") {
        reported_failure = rest;
    }
}

void PublisherRun::feed(ChildProcess &process)
{
    // The stamper's buffer ends in a newline: one write per line.
    note_first(hand_over_payloads(
        args.cell, [](int64_t) { return true; },
        [this, &process](const char *data, std::size_t size) {
            if (!write_all(process.input_fd(), data, size + 1)) {
                feed_failed.store(true);
                return false;
            }
            return true;
        }));
    process.close_input();
    ++sent_by;
}

void PublisherRun::note_first(int64_t stamp)
{
    int64_t known = first_ns.load();
    while (stamp != 0 && (known == 0 || stamp < known) &&
        !first_ns.compare_exchange_weak(known, stamp)) {
    }
}

void PublisherRun::join_feeders()
{
    for (std::thread &feeder : feeders) {
        feeder.join();
    }
    feeders.clear();
}
