#include "runner.h"

#include <cmath>
#include <cstdio>
#include <memory>

#include "delivery.h"
#include "host_config.h"
#include "input_file.h"
#include "log_sink.h"
#include "plugin_loader.h"
#include "plugin_path.h"
#include "progress.h"
#include "signals.h"
#include "worker_watch.h"

namespace {

// The instance tag: the first field of the plug-in's log lines.
constexpr const char *TAG = "mqtt";

void say(const std::string &text)
{
    std::fprintf(stderr, "tavrix-sink-run: %s\n", text.c_str());
}

std::string seconds_text(double seconds)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g s", seconds);
    return text;
}

// Keeps SIGHUP away from a plug-in that is about to be deleted, however
// the run leaves its scope.
class ReloadTarget
{
public:
    ReloadTarget(SignalWatch &signals_, agPlugin &plugin) : signals(signals_)
    {
        signals.set_reload_target(&plugin);
    }
    ~ReloadTarget() { clear(); }
    ReloadTarget(const ReloadTarget &) = delete;
    ReloadTarget &operator=(const ReloadTarget &) = delete;

    void clear() { signals.set_reload_target(nullptr); }

private:
    SignalWatch &signals;
};

class Run
{
public:
    Run(const Options &options_, const std::string &plugin_path)
        : options(options_), started(Clock::now()), signals(events), host(options),
          watch(TAG, [this] { events.notify(); }), sink(watch, options.debug),
          library(plugin_path)
    {
    }

    int execute(InputFile &input);

private:
    Snapshot sample();
    int connect_or_fail(Delivery &delivery, WorkerWatch &worker);
    int report_failure(const std::string &failure);
    void say_unreachable();
    int finish(const std::string &failure, bool input_failed, const Snapshot &summary,
        const RunEnd &end);

    const Options &options;
    const Clock::time_point started;
    RunEvents events;
    SignalWatch signals;
    HostConfig host;
    LogWatch watch;
    LogSink sink;
    PluginLibrary library;
    std::unique_ptr<agPluginSink> plugin;
    std::unique_ptr<Delivery> delivery;
};

Snapshot Run::sample()
{
    Snapshot s;
    s.read = delivery ? delivery->read() : 0;
    s.queued = plugin->GetPayloadsQueued();
    s.dropped = plugin->GetPayloadsDropped();
    s.waiting = plugin->GetPayloadQueueDepth();
    s.delivery = watch.counts();
    s.elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    return s;
}

int Run::execute(InputFile &input)
{
    plugin.reset(library.create(TAG, {{"config", options.config}}));
    std::string name, version;
    plugin->GetName(name);
    plugin->GetVersion(version);
    say("agent UUID " + host.agent_uuid() + "; plug-in " + library.path() + " (" + name +
        " v" + version + ")");

    delivery.reset(new Delivery(*plugin, watch, events));
    ReloadTarget reload_target(signals, *plugin);
    std::unique_ptr<ProgressLines> progress;
    if (options.stats) {
        progress.reset(new ProgressLines([this] { return sample(); }));
    }
    WorkerWatch worker(*plugin, events);
    int early = connect_or_fail(*delivery, worker);
    if (early >= 0) {
        return early;
    }
    InputReader reader(input.fd(), options.whole);
    InputReader::Result fed = delivery->feed(reader, options.channels);
    if (fed == InputReader::FAILED) {
        say("reading the input: " + reader.error());
    }
    Delivery::Drain drain = Delivery::Drain::INTERRUPTED;
    if (!events.has_worker_ended()) {
        drain = delivery->drain();
    }
    Snapshot before_stop = sample();
    // The plug-in's deletion queues a DISCONNECT behind everything else
    // and writes once; only a clean close confirms that write finished.
    bool must_close = watch.connected();
    uint64_t closes = watch.clean_disconnects();
    std::string failure = worker.stop_or_exit(WorkerWatch::STOP_LIMIT,
        events.stop_requested() ? EXIT_SIGNAL_BASE + events.stop_signal() : EXIT_INCOMPLETE);
    progress.reset();
    reload_target.clear();
    plugin.reset();
    RunEnd end;
    end.stalled = drain == Delivery::Drain::STALLED;
    end.cut_short = events.hurry();
    end.unflushed = must_close && watch.clean_disconnects() == closes;
    // The counts are those from before the stop; the time is the whole run.
    before_stop.elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    return finish(failure, fed == InputReader::FAILED, before_stop, end);
}

// -1 when connected; otherwise the exit status, with the plug-in stopped.
int Run::connect_or_fail(Delivery &d, WorkerWatch &worker)
{
    // Rounded up: a time-out below a millisecond must not become none.
    auto limit = std::chrono::milliseconds(
        static_cast<long long>(std::ceil(options.connect_timeout * 1000)));
    Delivery::Connect connect = d.wait_for_broker(limit);
    if (connect == Delivery::Connect::CONNECTED) {
        return -1;
    }
    if (connect == Delivery::Connect::WORKER_ENDED) {
        std::string failure = worker.stop_or_exit(WorkerWatch::STOP_LIMIT, EXIT_PLUGIN_FAILED);
        if (!failure.empty()) {
            return report_failure(failure);
        }
    }
    int status = EXIT_UNREACHABLE;
    if (connect == Delivery::Connect::STOPPED) {
        say("stopped before the broker accepted the connection");
        status = EXIT_SIGNAL_BASE + events.stop_signal();
    } else {
        say_unreachable();
    }
    // The worker may sit in a blocking connect to a port that never
    // answers; the time-out holds all the same.
    std::string failure = worker.stop_or_exit(WorkerWatch::STOP_LIMIT, status);
    return failure.empty() ? status : report_failure(failure);
}

int Run::report_failure(const std::string &failure)
{
    say("the plug-in failed: " + failure);
    return EXIT_PLUGIN_FAILED;
}

void Run::say_unreachable()
{
    std::string problem = watch.last_problem();
    std::string library_error = watch.last_library_error();
    std::string reason = problem.empty() ? "no answer" : "last: " + problem;
    if (!library_error.empty()) {
        reason += "; libmosquitto: " + library_error;
    }
    say("broker unreachable: no accepted connection within " +
        seconds_text(options.connect_timeout) + " (" + reason + ")");
}

int Run::finish(const std::string &failure, bool input_failed, const Snapshot &summary,
    const RunEnd &end)
{
    std::fprintf(stderr, "%s\n", format_summary(summary).c_str());
    if (!failure.empty()) {
        say("the plug-in failed: " + failure);
        return EXIT_PLUGIN_FAILED;
    }
    if (input_failed) {
        return EXIT_PLUGIN_FAILED;
    }
    std::vector<std::string> problems = shortfalls(summary, options.channels.size(), end);
    for (const std::string &line : problems) {
        say(line);
    }
    if (events.stop_requested()) {
        return EXIT_SIGNAL_BASE + events.stop_signal();
    }
    return problems.empty() ? EXIT_DELIVERED : EXIT_INCOMPLETE;
}

} // namespace

int run(const Options &options)
{
    InputFile input(options.input);
    std::string plugin_path = choose_plugin(options.plugin);
    try {
        Run session(options, plugin_path);
        return session.execute(input);
    } catch (const PluginRefused &e) {
        say(e.what());
        return EXIT_PLUGIN_FAILED;
    }
}
