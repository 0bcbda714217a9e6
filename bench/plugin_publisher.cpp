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

#include "bench.h"

namespace {

constexpr const char *TAG = "bench";
constexpr std::chrono::milliseconds CONNECT_TIMEOUT = std::chrono::seconds(15);

std::string write_config(const PublisherArgs &args)
{
    std::string path = args.workdir + "/" + args.id + ".json";
    std::ofstream config(path);
    config << "{\n"
           << "  \"host\": \"127.0.0.1\",\n"
           << "  \"port\": " << args.port << ",\n"
           << "  \"topic\": \"bench/${uuid_agent}/${channel}\",\n"
           << "  \"message_qos\": " << args.cell.qos << ",\n"
           << "  \"protocol_version\": \"" << (args.cell.mqtt5 ? "5" : "3.1.1") << "\",\n";
    if (!args.ca_file.empty()) {
        config << "  \"ca_file\": \"" << args.ca_file << "\",\n";
    }
    if (args.cell.spool) {
        config << "  \"spool_dir\": \"" << args.spool_dir() << "\",\n";
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

// As fast as the host can, or at the cell's pace.
void hand_over(agPluginSink &sink, const CellSpec &cell)
{
    std::set<std::string> channels;
    for (int channel = 0; channel < cell.channels; ++channel) {
        channels.insert(channel_name(channel));
    }
    auto wait = [&sink, &cell](int64_t due) {
        if (due != 0) {
            std::this_thread::sleep_until(
                std::chrono::steady_clock::time_point(std::chrono::nanoseconds(due)));
        }
        // A host that must not lose its input waits for room, as the
        // runner does; the other cells have room for the whole run.
        while (cell.stalled() &&
            !sink.WaitForPayloadQueueDepth(agPluginSink::DEFAULT_QUEUE_LIMIT, 100)) {
        }
        return true;
    };
    auto queue = [&sink, &channels](const char *data, std::size_t size) {
        sink.QueuePayload(std::make_shared<agPluginSinkPayload>(data, size, channels));
        return true;
    };
    report_line("t0 " + std::to_string(hand_over_payloads(cell, wait, queue)));
    report_line("sent " + std::to_string(cell.payloads));
}

int run_hosted(const PublisherArgs &args, HostedPlugin &plugin)
{
    agPluginSink &sink = plugin.sink();
    // Room for the whole run, unless the cell is about the host's bound: a
    // payload the host drops is not the plug-in's loss.
    if (!args.cell.stalled()) {
        sink.SetPayloadQueueLimit(args.cell.payloads + 1);
    }
    // The plug-in's own word that it is connected: its figures.
    if (!wait_until([&plugin] { return plugin.status().connected; }, CONNECT_TIMEOUT,
            std::chrono::milliseconds(5))) {
        return role_failed("the plug-in did not connect");
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
        return role_failed("the worker did not stop");
    }
    return plugin.failure().empty() ? 0 : role_failed("the worker failed: " + plugin.failure());
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
        return role_failed(e.what());
    }
}
