#include "runner.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include <unistd.h>

#include <host_session.h>

#include "agent_uuid.h"
#include "configuration.h"
#include "delivery.h"
#include "input.h"
#include "plugin_path.h"
#include "progress.h"
#include "signals.h"

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

// Rounded up: a time-out below a millisecond must not become none.
std::chrono::milliseconds connect_limit(const Options &options)
{
    return std::chrono::milliseconds(
        static_cast<long long>(std::ceil(options.connect_timeout * 1000)));
}

AgentUuid agent_uuid_of(const Options &options)
{
    if (!options.uuid_agent.empty()) {
        return {options.uuid_agent, "--uuid-agent"};
    }
    return default_agent_uuid();
}

HostIdentity identity_of(const Options &options, const AgentUuid &agent)
{
    HostIdentity identity;
    identity.uuid_agent = agent.uuid;
    identity.uuid_site = options.uuid_site;
    identity.uuid_serial = options.uuid_serial;
    identity.variables = options.variables;
    return identity;
}

// Keeps SIGHUP away from a plug-in that is about to be deleted, however
// the run leaves its scope.
class ReloadTarget
{
public:
    ReloadTarget(SignalWatch &signals_, std::function<void()> reload) : signals(signals_)
    {
        signals.set_reload(std::move(reload));
    }
    ~ReloadTarget() { clear(); }
    ReloadTarget(const ReloadTarget &) = delete;
    ReloadTarget &operator=(const ReloadTarget &) = delete;

    void clear() { signals.set_reload(nullptr); }

private:
    SignalWatch &signals;
};

class Run
{
public:
    Run(const Options &options_, PluginConfig &config_, std::vector<std::string> warnings_,
        const std::string &plugin_path)
        : options(options_), config(config_), warnings(std::move(warnings_)),
          started(Clock::now()),
          agent(agent_uuid_of(options)),
          signals(events),
          session(identity_of(options, agent), log_sink(), options.debug),
          library(plugin_path)
    {
    }

    int execute(InputReader &input);

private:
    agLogSink log_sink();
    void reload();
    void say_started();
    Snapshot sample();
    int connect_or_fail(Delivery &delivery);
    std::string stop_worker(int status_if_stuck);
    int report_failure(const std::string &failure);
    void say_unreachable();
    int finish(const std::string &failure, bool input_failed, const Snapshot &summary,
        const RunEnd &end);

    const Options &options;
    PluginConfig &config;
    const std::vector<std::string> warnings; // about the configuration, for the start
    const Clock::time_point started;
    const AgentUuid agent;
    RunEvents events;
    SignalWatch signals;
    HostSession session;
    PluginLibrary library;
    std::unique_ptr<HostedPlugin> plugin;
    std::unique_ptr<Delivery> delivery;
};

// Notices always reach standard error, debug lines only when asked for;
// the host's logger hands lines over with their newline or without.
agLogSink Run::log_sink()
{
    return [this](agLogLevel level, const std::string &text) {
        if (level != agLogLevel::NOTICE && !options.debug) {
            return;
        }
        bool newline = !text.empty() && text.back() == '\n';
        std::fprintf(stderr, "%s%s", text.c_str(), newline ? "" : "\n");
    };
}

Snapshot Run::sample()
{
    agPluginSink &sink = plugin->sink();
    Snapshot s;
    s.read = delivery ? delivery->read() : 0;
    s.queued = sink.GetPayloadsQueued();
    s.dropped = sink.GetPayloadsDropped();
    s.waiting = sink.GetPayloadQueueDepth();
    s.sink = plugin->status();
    s.elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    return s;
}

// On the signal thread. The plug-in rereads its file only when asked;
// a private copy must be made anew before, or it would not see the
// user's edits.
void Run::reload()
{
    try {
        config.refresh();
    } catch (const std::exception &e) {
        say(std::string("not reloaded: ") + e.what() + "; the plug-in keeps its configuration");
        return;
    }
    plugin->sink().DispatchEvent(agPlugin::EVENT_RELOAD, nullptr);
}

void Run::say_started()
{
    std::string name, version;
    plugin->sink().GetName(name);
    plugin->sink().GetVersion(version);
    say("agent UUID " + session.agent_uuid() + " (from " + agent.source + "); plug-in " +
        library.path() + " (" + name + " v" + version + ")");
    std::string keys;
    for (const auto &entry : config.overridden().items()) {
        keys += (keys.empty() ? "" : ", ") + entry.key();
    }
    if (options.config.empty()) {
        say("configuration from the flags: " + (keys.empty() ? "none, all defaults" : keys));
    } else if (!keys.empty()) {
        say("configuration " + options.config + " with " + keys + " from the flags");
    }
    for (const std::string &line : warnings) {
        say("warning: " + line);
    }
}

int Run::execute(InputReader &input)
{
    plugin.reset(new HostedPlugin(library, TAG, {{"config", config.path()}},
        [this] { events.worker_ended(); }));
    say_started();

    delivery.reset(new Delivery(plugin->sink(), events, options.channels,
        [this] { return plugin->status(); }));
    ReloadTarget reload_target(signals, [this] { reload(); });
    std::unique_ptr<ProgressLines> progress;
    if (options.stats) {
        progress.reset(new ProgressLines([this] { return sample(); }));
    }
    int early = connect_or_fail(*delivery);
    if (early >= 0) {
        return early;
    }
    InputReader::Result fed = delivery->feed(input);
    if (fed == InputReader::FAILED) {
        say("reading the input: " + input.error());
    }
    Delivery::Drain drain = Delivery::Drain::INTERRUPTED;
    if (!events.has_worker_ended()) {
        drain = delivery->drain();
    }
    RunEnd end;
    end.stalled = drain == Delivery::Drain::STALLED;
    end.cut_short = events.hurry();
    std::string failure = stop_worker(
        events.stop_requested() ? EXIT_SIGNAL_BASE + events.stop_signal() : EXIT_INCOMPLETE);
    progress.reset();
    reload_target.clear();
    // The worker has ended: the figures are final, and what is still
    // unconfirmed goes with the instance.
    Snapshot summary = sample();
    end.losses = summary.sink.connections_lost;
    plugin.reset();
    return finish(failure, fed == InputReader::FAILED, summary, end);
}

// The worker's failure message (empty when it ended as asked). A worker
// still running after the bound is stuck inside the library (a blocking
// connect, say): unloading it or running destructors under it would
// crash, so the process leaves at once with `status_if_stuck`.
std::string Run::stop_worker(int status_if_stuck)
{
    if (!plugin->stop(HostedPlugin::STOP_LIMIT)) {
        std::fprintf(stderr, "tavrix-sink-run: the plug-in's worker did not end within %lld ms;"
                             " leaving it behind\n",
            static_cast<long long>(HostedPlugin::STOP_LIMIT.count()));
        std::fflush(stderr);
        config.discard();
        _exit(status_if_stuck);
    }
    return plugin->failure();
}

// -1 when connected; otherwise the exit status, with the plug-in stopped.
int Run::connect_or_fail(Delivery &d)
{
    Delivery::Connect connect = d.wait_for_broker(connect_limit(options));
    if (connect == Delivery::Connect::CONNECTED) {
        return -1;
    }
    if (connect == Delivery::Connect::WORKER_ENDED) {
        std::string failure = stop_worker(EXIT_PLUGIN_FAILED);
        if (!failure.empty()) {
            return report_failure(failure);
        }
    }
    int status = EXIT_UNREACHABLE;
    if (connect == Delivery::Connect::STOPPED) {
        say("stopped before the broker accepted the connection");
        status = EXIT_SIGNAL_BASE + events.stop_signal();
    } else if (!plugin->status().reported) {
        // The figures come with the first load: none yet means it has not
        // returned, and no broker was tried.
        say("the plug-in has not finished loading its configuration " + config.path() +
            " within " + seconds_text(options.connect_timeout) +
            " (a FIFO without a writer, or a file system that does not answer?)");
        status = EXIT_PLUGIN_FAILED;
    } else {
        say_unreachable();
    }
    std::string failure = stop_worker(status);
    return failure.empty() ? status : report_failure(failure);
}

int Run::report_failure(const std::string &failure)
{
    say("the plug-in failed: " + failure);
    return EXIT_PLUGIN_FAILED;
}

void Run::say_unreachable()
{
    SinkStatus status = plugin->status();
    const std::string &problem = status.last_connection_error;
    const std::string &library_error = status.last_library_error;
    std::string reason = problem.empty() ? "no answer" : "last: " + std::string(TAG) + ": " + problem;
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
    InputReader input(options.input, options.whole);
    std::string plugin_path = choose_plugin(options.plugin);
    try {
        std::vector<std::string> warnings;
        PluginConfig config(options.config,
            configuration_overrides(options, std::getenv(PASSWORD_VARIABLE), warnings),
            connect_limit(options));
        warnings.insert(warnings.end(), config.warnings().begin(), config.warnings().end());
        Run session(options, config, warnings, plugin_path);
        return session.execute(input);
    } catch (const MergeError &e) {
        say(e.what());
        return EXIT_PLUGIN_FAILED;
    } catch (const PluginRefused &e) {
        say(e.what());
        return EXIT_PLUGIN_FAILED;
    }
}
