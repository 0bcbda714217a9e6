/*
 * The plug-in, hosted as the agent hosts it: the library loaded by path,
 * an instance made through agPluginInit with a configuration file, its
 * thread started with Create, and payloads handed to its queue.
 */
#include <chrono>
#include <condition_variable>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>
#include <thread>

#include <dlfcn.h>
#include <sys/resource.h>

#include <host/tavrixd.h>

#include "clock.h"
#include "payload.h"
#include "publisher_driver.h"
#include "publishers.h"

namespace {

constexpr const char *TAG = "bench";
constexpr auto CONNECT_TIMEOUT = std::chrono::seconds(15);

/* Watches the debug log for the plug-in's own word that it is connected. */
class ConnectWatch
{
public:
    ConnectWatch() : expected(std::string(TAG) + ": on_connect: 0:") {}

    agLogSink Sink()
    {
        return [this](agLogLevel, const std::string &line) {
            if (line.compare(0, expected.size(), expected) != 0) {
                return;
            }
            {
                std::lock_guard<std::mutex> guard(lock);
                connected = true;
            }
            changed.notify_all();
        };
    }

    bool Wait()
    {
        std::unique_lock<std::mutex> guard(lock);
        return changed.wait_for(guard, CONNECT_TIMEOUT, [this] { return connected; });
    }

private:
    std::string expected;
    std::mutex lock;
    std::condition_variable changed;
    bool connected = false;
};

std::string write_config(const PublisherArgs &args)
{
    std::string path = args.workdir + "/" + args.id + ".json";
    std::ofstream config(path);
    config << "{\n"
           << "  \"host\": \"127.0.0.1\",\n"
           << "  \"port\": " << args.port << ",\n"
           << "  \"topic\": \"bench/${uuid_agent}/${channel}\",\n"
           << "  \"message_qos\": " << args.cell.qos << ",\n"
           << "  \"message_retain\": false\n"
           << "}\n";
    return path;
}

// The agent's identity and a few variables, as a real agent has them: the
// plug-in copies this map for every message.
void set_up_agent(agGlobalConfig &config, const std::string &id)
{
    agGlobalConfig::instance = &config;
    config.SetUUID(UUID_AGENT, id);
    config.SetUUID(UUID_SERIAL, "TVX-0000-BENCH");
    config.SetUUID(UUID_SITE, "5f0c6d2e-0000-4000-8000-00000000be7c");
    config.conf_vars = {{"${hostname}", "bench-host"}, {"${agent_name}", "tavrixd"},
        {"${site_name}", "lab"}, {"${region}", "local"}};
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

} // namespace

int run_plugin_publisher(const PublisherArgs &args)
{
    agGlobalConfig config;
    set_up_agent(config, args.id);
    std::string config_path = write_config(args);

    ConnectWatch watch;
    ag_set_log_sink(watch.Sink());
    ag_set_debug(true);

    void *library = dlopen(TAVRIX_PLUGIN_PATH, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return fail(std::string("dlopen: ") + dlerror());
    }
    auto init = reinterpret_cast<agPluginInitFunction>(dlsym(library, "agPluginInit"));
    if (init == nullptr) {
        return fail("no agPluginInit in " TAVRIX_PLUGIN_PATH);
    }
    std::unique_ptr<agPlugin> plugin(init(TAG, {{"type", "1"}, {"config", config_path}}));
    auto *sink = dynamic_cast<agPluginSink *>(plugin.get());
    if (sink == nullptr) {
        return fail("agPluginInit made no sink");
    }
    // Room for the whole run: a payload the host drops is not the
    // plug-in's loss.
    sink->SetPayloadQueueLimit(args.cell.payloads + 1);
    plugin->Create();
    if (!watch.Wait()) {
        plugin->Terminate();
        return fail("the plug-in did not connect");
    }
    // From here on the hot path pays for no log line.
    ag_set_debug(false);
    ag_set_log_sink(nullptr);

    hand_over(*sink, args.cell);
    report_line("dropped " + std::to_string(sink->GetPayloadsDropped()));
    // This thread is the host: what it spent is the host's side of the
    // cost, apart from the plug-in's worker.
    struct rusage host_usage;
    getrusage(RUSAGE_THREAD, &host_usage);
    report_line("host_cpu " + std::to_string(cpu_seconds_of(host_usage)));
    wait_for_stop();

    plugin->Terminate();
    plugin->Join();
    int status = 0;
    if (plugin->HasFailed()) {
        status = fail("the worker failed: " + plugin->GetFailure());
    }
    plugin.reset();
    dlclose(library);
    agGlobalConfig::instance = nullptr;
    return status;
}
