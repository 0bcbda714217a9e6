/*
 * mosquitto_pub -l: one process per channel (it publishes to one topic),
 * each fed the cell's payloads as lines by a thread of ours. Its cost is
 * read from the processes' own resource usage; feeding them is the host's
 * work and is not counted.
 */
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <thread>
#include <vector>

#include <unistd.h>

#include "child_process.h"
#include "clock.h"
#include "payload.h"
#include "publisher_driver.h"

namespace {

constexpr int EXIT_TIMEOUT_MS = 30000;

bool write_all(int fd, const char *data, std::size_t length)
{
    while (length > 0) {
        ssize_t written = write(fd, data, length);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return false;
        }
        data += written;
        length -= static_cast<std::size_t>(written);
    }
    return true;
}

class PubCliDriver : public PublisherDriver
{
public:
    explicit PubCliDriver(const PublisherArgs &args_)
        : args(args_), processes(Count()), peaks_kb(Count(), 0)
    {
    }

    ~PubCliDriver() override { JoinFeeders(); }

    bool Start(std::string &error) override
    {
        for (std::size_t channel = 0; channel < processes.size(); ++channel) {
            std::string topic = cell_topic_prefix(args.id) + "/" + channel_name(static_cast<int>(channel));
            std::vector<std::string> argv = {"mosquitto_pub", "-h", "127.0.0.1", "-p",
                std::to_string(args.port), "-q", std::to_string(args.cell.qos), "-t", topic, "-l",
                "-i", "pub-" + args.id + "-" + std::to_string(channel)};
            std::string log = args.workdir + "/" + args.id + "-" + std::to_string(channel) + ".log";
            if (!processes[channel].Start(argv, {true, false}, log, error)) {
                return false;
            }
        }
        for (std::size_t channel = 0; channel < processes.size(); ++channel) {
            feeders.emplace_back([this, channel] { Feed(processes[channel]); });
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
        for (const ChildProcess &process : processes) {
            ticks += process.CpuTicks();
        }
        return ticks;
    }

    std::string Failure() const override
    {
        return feed_failed.load() ? "mosquitto_pub stopped reading its input" : "";
    }

    bool Finish(PublisherCost &cost, std::string &error) override
    {
        SamplePeaks();
        if (!Sent()) {
            // Given up on: a feeder blocked on a full pipe gets its error
            // only once the reader is gone.
            for (ChildProcess &process : processes) {
                process.Kill(SIGKILL);
            }
        }
        JoinFeeders();
        bool ended_well = true;
        for (ChildProcess &process : processes) {
            if (!process.Wait(EXIT_TIMEOUT_MS)) {
                process.Kill(SIGKILL);
                process.Wait(EXIT_TIMEOUT_MS);
                error = "mosquitto_pub did not exit";
                ended_well = false;
                continue;
            }
            cost.cpu_seconds += cpu_seconds_of(process.Usage());
            if (process.ExitStatus() != 0) {
                error = "mosquitto_pub: " + log_tail(process.LogPath());
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
    std::size_t Count() const { return static_cast<std::size_t>(args.cell.channels); }

    // Sampled while the processes live: each exits on its own once its
    // input has ended and its messages are out.
    void SamplePeaks()
    {
        for (std::size_t i = 0; i < processes.size(); ++i) {
            peaks_kb[i] = std::max(peaks_kb[i], processes[i].PeakRssKb());
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
            if (!write_all(process.InputFd(), stamper.Stamp(seq, stamp), stamper.size() + 1)) {
                feed_failed.store(true);
                break;
            }
        }
        process.CloseInput();
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
    std::vector<ChildProcess> processes;
    std::vector<long> peaks_kb;
    std::vector<std::thread> feeders;
    std::atomic<std::size_t> fed{0};
    std::atomic<int64_t> first_ns{0};
    std::atomic<bool> feed_failed{false};
};

} // namespace

std::unique_ptr<PublisherDriver> make_pub_cli_driver(const PublisherArgs &args)
{
    return std::make_unique<PubCliDriver>(args);
}
