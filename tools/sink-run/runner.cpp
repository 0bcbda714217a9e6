#include "runner.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>

#include <fcntl.h>
#include <unistd.h>

#include "agent_uuid.h"
#include "delivery.h"
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

// Missing files are usage errors, found before anything starts.
class InputFile
{
public:
    explicit InputFile(const std::string &path) : fd(STDIN_FILENO), owned(false)
    {
        if (path.empty()) {
            return;
        }
        fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            throw UsageError("cannot open input " + path + ": " + std::strerror(errno));
        }
        owned = true;
    }
    ~InputFile()
    {
        if (owned) {
            close(fd);
        }
    }
    InputFile(const InputFile &) = delete;
    InputFile &operator=(const InputFile &) = delete;

    int fd;

private:
    bool owned;
};

std::string choose_plugin(const Options &options)
{
    if (!options.plugin.empty()) {
        if (access(options.plugin.c_str(), R_OK) != 0) {
            throw UsageError("cannot read plug-in " + options.plugin + ": " +
                std::strerror(errno));
        }
        return options.plugin;
    }
    std::string looked;
    for (const std::string &candidate : plugin_candidates(program_directory())) {
        if (access(candidate.c_str(), R_OK) == 0) {
            return candidate;
        }
        looked += (looked.empty() ? "" : ", ") + candidate;
    }
    throw UsageError("no plug-in found (looked for " + looked + "); give --plugin PATH");
}

// The host's global configuration, as the agent would fill it.
class HostConfig
{
public:
    explicit HostConfig(const Options &options)
    {
        config.SetUUID(UUID_AGENT,
            options.uuid_agent.empty() ? default_agent_uuid() : options.uuid_agent);
        if (!options.uuid_site.empty()) {
            config.SetUUID(UUID_SITE, options.uuid_site);
        }
        if (!options.uuid_serial.empty()) {
            config.SetUUID(UUID_SERIAL, options.uuid_serial);
        }
        config.conf_vars = options.variables;
        agGlobalConfig::instance = &config;
    }
    ~HostConfig() { agGlobalConfig::instance = nullptr; }
    HostConfig(const HostConfig &) = delete;
    HostConfig &operator=(const HostConfig &) = delete;

    std::string agent_uuid() const
    {
        std::string uuid;
        config.LoadUUID(UUID_AGENT, uuid);
        return uuid;
    }

private:
    agGlobalConfig config;
};

class LogSinkGuard
{
public:
    LogSinkGuard(LogWatch &watch, bool debug) { install_log_sink(watch, debug); }
    ~LogSinkGuard() { remove_log_sink(); }
    LogSinkGuard(const LogSinkGuard &) = delete;
    LogSinkGuard &operator=(const LogSinkGuard &) = delete;
};

// Why the end of a run fell short, one line each; empty when it did not.
std::vector<std::string> shortfalls(const Snapshot &s, std::size_t channels, Delivery::Drain drain)
{
    std::vector<std::string> lines;
    const DeliveryCounts &d = s.delivery;
    if (s.dropped > 0) {
        lines.push_back(std::to_string(s.dropped) + " payloads dropped by the full queue");
    }
    uint64_t expected = s.queued * channels;
    if (d.published < expected) {
        lines.push_back(std::to_string(expected - d.published) +
            " publishes never made: the plug-in drops payloads while it is not connected" +
            " (connection lost " + std::to_string(d.losses) + " times)");
    }
    if (d.refused > 0) {
        lines.push_back(std::to_string(d.refused) + " publishes refused by libmosquitto");
    }
    if (unacknowledged(s) > 0) {
        lines.push_back(std::to_string(unacknowledged(s)) +
            " publishes not acknowledged by the broker" +
            (drain == Delivery::Drain::STALLED ? " (gave up after 30 s without progress)"
                                               : ""));
    } else if (drain == Delivery::Drain::STALLED) {
        lines.push_back("the plug-in did not empty its queue (gave up after 30 s)");
    }
    return lines;
}

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
    int finish(const std::string &failure, bool input_failed, const Snapshot &summary,
        Delivery::Drain drain);

    const Options &options;
    const Clock::time_point started;
    RunEvents events;
    SignalWatch signals;
    HostConfig host;
    LogWatch watch;
    LogSinkGuard sink;
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
    signals.set_reload_target(plugin.get());
    std::unique_ptr<ProgressLines> progress;
    if (options.stats) {
        progress.reset(new ProgressLines([this] { return sample(); }));
    }
    WorkerWatch worker(*plugin, events);
    int early = connect_or_fail(*delivery, worker);
    if (early >= 0) {
        signals.set_reload_target(nullptr);
        return early;
    }
    InputReader reader(input.fd, options.whole);
    InputReader::Result fed = delivery->feed(reader, options.channels);
    if (fed == InputReader::FAILED) {
        say("reading the input: " + reader.error());
    }
    Delivery::Drain drain = Delivery::Drain::INTERRUPTED;
    if (!events.has_worker_ended()) {
        drain = delivery->drain();
    }
    Snapshot before_stop = sample();
    std::string failure = worker.stop();
    progress.reset();
    signals.set_reload_target(nullptr);
    plugin.reset();
    // The counts are those from before the stop; the time is the whole run.
    before_stop.elapsed = std::chrono::duration<double>(Clock::now() - started).count();
    return finish(failure, fed == InputReader::FAILED, before_stop, drain);
}

// -1 when connected; otherwise the exit status, with the plug-in stopped.
int Run::connect_or_fail(Delivery &d, WorkerWatch &worker)
{
    auto limit = std::chrono::milliseconds(static_cast<long long>(options.connect_timeout * 1000));
    Delivery::Connect connect = d.wait_for_broker(limit);
    if (connect == Delivery::Connect::CONNECTED) {
        return -1;
    }
    std::string problem = watch.last_problem();
    std::string library_error = watch.last_library_error();
    std::string failure = worker.stop();
    if (!failure.empty()) {
        say("the plug-in failed: " + failure);
        return EXIT_PLUGIN_FAILED;
    }
    if (connect == Delivery::Connect::STOPPED) {
        say("stopped before the broker accepted the connection");
        return EXIT_SIGNAL_BASE + events.stop_signal();
    }
    std::string reason = problem.empty() ? "no answer" : "last: " + problem;
    if (!library_error.empty()) {
        reason += "; libmosquitto: " + library_error;
    }
    say("broker unreachable: no accepted connection within " +
        seconds_text(options.connect_timeout) + " (" + reason + ")");
    return EXIT_UNREACHABLE;
}

int Run::finish(const std::string &failure, bool input_failed, const Snapshot &summary,
    Delivery::Drain drain)
{
    say(format_summary(summary).substr(std::strlen("tavrix-sink-run: ")));
    if (!failure.empty()) {
        say("the plug-in failed: " + failure);
        return EXIT_PLUGIN_FAILED;
    }
    if (input_failed) {
        return EXIT_PLUGIN_FAILED;
    }
    std::vector<std::string> problems = shortfalls(summary, options.channels.size(), drain);
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
    std::string plugin_path = choose_plugin(options);
    try {
        Run session(options, plugin_path);
        return session.execute(input);
    } catch (const PluginRefused &e) {
        say(e.what());
        return EXIT_PLUGIN_FAILED;
    }
}
