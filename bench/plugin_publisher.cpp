/*
 * The plug-in, hosted as the agent hosts it: the library loaded by path,
 * an instance made through agPluginInit with a configuration file, its
 * thread started with Create, and payloads handed to its queue.
 */
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <thread>

#include <sys/resource.h>

#include <host_session.h>
#include <wait.h>

#include "clock.h"
#include "payload.h"
#include "process_usage.h"
#include "publisher_driver.h"
#include "publishers.h"

namespace {

constexpr const char *TAG = "bench";
constexpr auto CONNECT_TIMEOUT = std::chrono::seconds(15);

std::string write_config(const PublisherArgs &args)
{
    std::string path = args.workdir + "/" + args.id + ".json";
    std::ofstream config(path);
    config << "{\n"
           << "  \"host\": \"127.0.0.1\",\n"
           << "  \"port\": " << args.port << ",\n"
           << "  \"topic\": \"bench/${uuid_agent}/${channel}\",\n"
           << "  \"message_qos\": " << args.cell.qos << ",\n";
    if (!args.ca_file.empty()) {
        config << "  \"ca_file\": \"" << args.ca_file << "\",\n";
    }
    config << "  \"message_retain\": false,\n"
           << "  \"report_status\": true\n"
           << "}\n";
    return path;
}

// The agent's identity and a few variables, as a real agent has them: the
// plug-in copies this map for every message.
HostIdentity agent_identity(const std::string &id)
{
    return {client_id_of(PublisherKind::PLUGIN, id), "5f0c6d2e-0000-4000-8000-00000000be7c",
        "TVX-0000-BENCH",
        {{"${hostname}", "bench-host"}, {"${agent_name}", "tavrixd"}, {"${site_name}", "lab"},
            {"${region}", "local"}}};
}

std::set<std::string> channel_set(int channels)
{
    std::set<std::string> names;
    for (int channel = 0; channel < channels; ++channel) {
        names.insert(channel_name(channel));
    }
    return names;
}

// As fast as the host can, or at the cell's pace.
void hand_over(agPluginSink &sink, const CellSpec &cell)
{
    PayloadStamper stamper(cell.size);
    const std::set<std::string> channels = channel_set(cell.channels);
    const int64_t start = bench_now_ns();
    const int64_t period = cell.paced() ? 1000000000 / static_cast<int64_t>(cell.rate) : 0;
    int64_t first = 0;
    for (uint64_t seq = 0; seq < cell.payloads; ++seq) {
        if (period != 0) {
            std::this_thread::sleep_until(std::chrono::steady_clock::time_point(
                std::chrono::nanoseconds(start + period * static_cast<int64_t>(seq))));
        }
        // A host that must not lose its input waits for room, as the
        // runner does; the other cells have room for the whole run.
        while (cell.stalled() &&
            !sink.WaitForPayloadQueueDepth(agPluginSink::DEFAULT_QUEUE_LIMIT, 100)) {
        }
        int64_t stamp = bench_now_ns();
        if (seq == 0) {
            first = stamp;
        }
        sink.QueuePayload(std::make_shared<agPluginSinkPayload>(stamper.Stamp(seq, stamp),
            stamper.size(), channels));
    }
    report_line("t0 " + std::to_string(first));
    report_line("sent " + std::to_string(cell.payloads));
}

int fail(const std::string &text)
{
    report_line("error " + text);
    return 1;
}

// The plug-in's own word that it is connected: its figures.
bool wait_connected(HostedPlugin &plugin)
{
    return wait_until([&plugin] { return plugin.status().connected; },
        std::chrono::duration_cast<std::chrono::milliseconds>(CONNECT_TIMEOUT),
        std::chrono::milliseconds(5));
}

int run_hosted(const PublisherArgs &args, HostedPlugin &plugin)
{
    agPluginSink &sink = plugin.sink();
    // Room for the whole run, unless the cell is about the host's bound: a
    // payload the host drops is not the plug-in's loss.
    if (!args.cell.stalled()) {
        sink.SetPayloadQueueLimit(args.cell.payloads + 1);
    }
    if (!wait_connected(plugin)) {
        return fail("the plug-in did not connect");
    }
    hand_over(sink, args.cell);
    report_line("dropped " + std::to_string(sink.GetPayloadsDropped()));
    // This thread is the host: what it spent is the host's side of the
    // cost, apart from the plug-in's worker.
    struct rusage host_usage;
    getrusage(RUSAGE_THREAD, &host_usage);
    report_line("host_cpu " + std::to_string(cpu_seconds_of(host_usage)));
    wait_for_stop();
    if (!plugin.stop()) {
        return fail("the worker did not stop");
    }
    return plugin.failure().empty() ? 0 : fail("the worker failed: " + plugin.failure());
}

} // namespace

int run_plugin_publisher(const PublisherArgs &args)
{
    // No debug output: the hot path formats no log line.
    HostSession session(agent_identity(args.id), [](agLogLevel, const std::string &) {}, false);
    try {
        PluginLibrary library(TAVRIX_PLUGIN_PATH);
        HostedPlugin plugin(library, TAG, {{"type", "1"}, {"config", write_config(args)}});
        return run_hosted(args, plugin);
    } catch (const std::exception &e) {
        return fail(e.what());
    }
}
