#include "runner.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <random>

#include <dlfcn.h>
#include <unistd.h>

#include <openssl/sha.h>

#include <host_session.h>

#include "configuration.h"
#include "delivery.h"
#include "input.h"
#include "progress.h"
#include "signals.h"

namespace {

// Salt the hash so that other programs deriving ids from the same machine
// id get other ids; the host name's salt keeps a host named like a
// machine id apart from that machine.
constexpr const char *MACHINE_ID_SALT = "tavrix-sink-run agent uuid:";
constexpr const char *HOST_NAME_SALT = "tavrix-sink-run agent uuid from host name:";

// systemd's, D-Bus's (Linux systems without systemd), and FreeBSD's host
// UUID, in the order they are tried.
const std::vector<std::string> MACHINE_ID_FILES = {
    "/etc/machine-id", "/var/lib/dbus/machine-id", "/etc/hostid"};

// Lower-case hex digits without hyphens (FreeBSD writes its host UUID
// with them); empty unless that makes 32 digits that are not all zero,
// which some firmware reports for "unknown".
std::string bare_machine_id(std::string text)
{
    text.erase(std::remove(text.begin(), text.end(), '-'), text.end());
    if (text.size() != 32 || text.find_first_not_of("0123456789ABCDEFabcdef") != text.npos ||
        text.find_first_not_of('0') == text.npos) {
        return std::string();
    }
    std::transform(text.begin(), text.end(), text.begin(),
        [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

std::string hashed_uuid(const std::string &salted)
{
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char *>(salted.data()), salted.size(), digest);
    std::array<uint8_t, 16> bytes;
    std::copy(digest, digest + bytes.size(), bytes.begin());
    return format_uuid(bytes);
}

std::string random_uuid()
{
    std::random_device source;
    std::array<uint8_t, 16> bytes;
    std::generate(bytes.begin(), bytes.end(), [&source] { return uint8_t(source()); });
    return format_uuid(bytes);
}

AgentUuid agent_uuid_of(const Options &options)
{
    if (!options.uuid_agent.empty()) {
        return {options.uuid_agent, "--uuid-agent"};
    }
    // POSIX bounds a host name at 255 bytes; some systems do not terminate
    // one that fills the buffer.
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) != 0) {
        name[0] = '\0';
    }
    return default_agent_uuid(MACHINE_ID_FILES, name);
}

// The loader found the runner's own copy of the host library through the
// RUNPATH, relative to the program: where it lies tells where the install
// is, wherever its prefix has moved since the build.
std::string stand_in_path()
{
    Dl_info info;
    if (dladdr(reinterpret_cast<void *>(&ag_debug_enabled), &info) == 0 ||
        info.dli_fname == nullptr) {
        return std::string();
    }
    return info.dli_fname;
}

// `given` when not empty, else the installed plug-in, else the one of the
// build tree the runner was built in. Loaded by the name it was found
// under, the soname's link, as the agent loads it.
std::string choose_plugin(const std::string &given)
{
    if (!given.empty()) {
        if (access(given.c_str(), R_OK) != 0) {
            throw UsageError("cannot read plug-in " + given + ": " + std::strerror(errno));
        }
        return given;
    }
    std::string looked;
    for (const std::string &candidate :
        {installed_plugin(stand_in_path()), std::string(TAVRIX_SINK_RUN_BUILD_PLUGIN)}) {
        if (candidate.empty()) {
            continue;
        }
        if (access(candidate.c_str(), R_OK) == 0) {
            return candidate;
        }
        looked += (looked.empty() ? "" : ", ") + candidate;
    }
    throw UsageError("no plug-in found (looked for " + looked + "); give --plugin PATH");
}

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

class PluginRun
{
public:
    PluginRun(const Options &options_, PluginConfig &config_, const std::string &plugin_path)
        : options(options_), config(config_), agent(agent_uuid_of(options)), signals(events),
          host_session({agent.uuid, options.uuid_site, options.uuid_serial, options.variables},
              log_sink(), options.debug),
          library(plugin_path)
    {
    }
    // However the run ends, no SIGHUP reaches a plug-in on its way out.
    ~PluginRun() { signals.set_reload(nullptr); }

    int execute(InputReader &input, const std::vector<std::string> &warnings)
    {
        plugin.reset(new HostedPlugin(library, TAG, {{"config", config.path()}},
            [this] { events.worker_ended(); }));
        say_started(warnings);
        delivery.reset(new Delivery(plugin->sink(), events, options.channels,
            [this] { return plugin->status(); }));
        signals.set_reload([this] { reload(); });
        if (options.stats) {
            progress.reset(new ProgressLines([this] { return sample(); }));
        }
        // With a spool the input goes into it at once, broker or not.
        spooled = config.spooled();
        int early = connect_or_fail();
        return early >= 0 ? early : deliver(input);
    }

private:
    // Notices always reach standard error, debug lines only when asked for;
    // the host's logger hands lines over with their newline or without.
    agLogSink log_sink()
    {
        return [this](agLogLevel level, const std::string &text) {
            if (level != agLogLevel::NOTICE && !options.debug) {
                return;
            }
            bool newline = !text.empty() && text.back() == '\n';
            std::fprintf(stderr, "%s%s", text.c_str(), newline ? "" : "\n");
        };
    }

    Snapshot sample()
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
    void reload()
    {
        try {
            config.refresh();
        } catch (const std::exception &e) {
            say(std::string("not reloaded: ") + e.what() + "; the plug-in keeps its configuration");
            return;
        }
        plugin->reload();
    }

    void say_started(const std::vector<std::string> &warnings)
    {
        std::string name, version;
        plugin->sink().GetName(name);
        plugin->sink().GetVersion(version);
        say("agent UUID " + host_session.agent_uuid() + " (from " + agent.source + "); plug-in " +
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

    int stopped_by_signal() const { return EXIT_SIGNAL_BASE + events.stop_signal(); }

    // -1 when connected (with a spool: when the plug-in has loaded its
    // configuration); otherwise the exit status, with the plug-in stopped.
    int connect_or_fail()
    {
        Delivery::Connect connect = spooled ? delivery->wait_for_spool(connect_limit(options))
                                            : delivery->wait_for_broker(connect_limit(options));
        if (connect == Delivery::Connect::CONNECTED) {
            return -1;
        }
        if (connect == Delivery::Connect::WORKER_ENDED) {
            std::string failure = stop_worker(EXIT_PLUGIN_FAILED);
            if (!failure.empty()) {
                return report_failure(failure);
            }
        }
        SinkStatus status;
        int exit_status = EXIT_UNREACHABLE;
        if (connect == Delivery::Connect::STOPPED) {
            say("stopped before the broker accepted the connection");
            exit_status = stopped_by_signal();
        } else if (!(status = plugin->status()).reported || (spooled && !status.spool.configured)) {
            // The figures come with the first load: none yet means it has
            // not returned, and no broker was tried.
            say("the plug-in has not finished loading its configuration " + config.path() +
                " within " + seconds_text(options.connect_timeout) +
                " (a FIFO without a writer, or a file system that does not answer?)");
            exit_status = EXIT_PLUGIN_FAILED;
        } else {
            say_unreachable(status);
        }
        std::string failure = stop_worker(exit_status);
        return failure.empty() ? exit_status : report_failure(failure);
    }

    void say_unreachable(const SinkStatus &status)
    {
        const std::string &problem = status.last_connection_error;
        std::string reason =
            problem.empty() ? "no answer" : "last: " + std::string(TAG) + ": " + problem;
        if (!status.last_library_error.empty()) {
            reason += "; libmosquitto: " + status.last_library_error;
        }
        say("broker unreachable: no accepted connection within " +
            seconds_text(options.connect_timeout) + " (" + reason + ")");
    }

    int deliver(InputReader &input)
    {
        InputReader::Result fed = delivery->feed(input);
        if (fed == InputReader::FAILED) {
            say("reading the input: " + input.error());
        }
        RunEnd end;
        Delivery::Drain drained = events.has_worker_ended()
            ? Delivery::Drain::INTERRUPTED
            : delivery->drain(connect_limit(options));
        end.stalled = drained == Delivery::Drain::STALLED;
        end.unreachable = drained == Delivery::Drain::UNREACHABLE;
        end.cut_short = events.hurry();
        end.stopped = events.stop_requested();
        std::string failure =
            stop_worker(events.stop_requested() ? stopped_by_signal() : EXIT_INCOMPLETE);
        progress.reset();
        signals.set_reload(nullptr);
        // The worker has ended: the figures are final, and what is still
        // unacknowledged goes with the instance.
        Snapshot summary = sample();
        end.losses = summary.sink.connections_lost;
        plugin.reset();
        std::fprintf(stderr, "%s\n", format_summary(summary).c_str());
        if (!failure.empty()) {
            return report_failure(failure);
        }
        if (fed == InputReader::FAILED) {
            return EXIT_PLUGIN_FAILED;
        }
        if (end.unreachable) {
            say_unreachable(summary.sink);
        }
        const SinkSpool &spool = summary.sink.spool;
        if (spool.configured && !spool.ok()) {
            say("the spool " + spool.dir + " " + spool.state + "; the run went on without it");
        }
        std::vector<std::string> problems = shortfalls(summary, options.channels.size(), end);
        for (const std::string &line : problems) {
            say(line);
        }
        if (spool.ok() && spool.payloads > 0) {
            say(std::to_string(spool.payloads) + " payloads kept in the spool " + spool.dir +
                " for the next run");
        }
        // A stop request tells how the run ended only when nothing was lost.
        if (end.unreachable && !spool.ok()) {
            return EXIT_UNREACHABLE;
        }
        if (!problems.empty()) {
            return EXIT_INCOMPLETE;
        }
        if (spool.ok() && spool.payloads > 0) {
            return EXIT_KEPT;
        }
        return events.stop_requested() ? stopped_by_signal() : EXIT_DELIVERED;
    }

    // The worker's failure message (empty when it ended as asked). A worker
    // still running after the bound is stuck inside the library (a blocking
    // connect, say): unloading it or running destructors under it would
    // crash, so the process leaves at once with `status_if_stuck`.
    std::string stop_worker(int status_if_stuck)
    {
        if (!plugin->stop(HostedPlugin::STOP_LIMIT)) {
            say("the plug-in's worker did not end within " +
                std::to_string(HostedPlugin::STOP_LIMIT.count()) + " ms; leaving it behind");
            config.discard();
            _exit(status_if_stuck);
        }
        return plugin->failure();
    }

    // The private file's name tells the user nothing: what the plug-in
    // refused in it is the configuration's (the start-up warnings name it).
    int report_failure(const std::string &failure)
    {
        const std::string private_file = std::string(TAG) + ": " + config.path() + ": ";
        if (failure.compare(0, private_file.size(), private_file) == 0) {
            say("the plug-in refused the configuration: " + failure.substr(private_file.size()));
        } else {
            say("the plug-in failed: " + failure);
        }
        return EXIT_PLUGIN_FAILED;
    }

    const Options &options;
    PluginConfig &config;
    bool spooled = false;
    const Clock::time_point started = Clock::now();
    const AgentUuid agent;
    RunEvents events;
    SignalWatch signals;
    HostSession host_session;
    PluginLibrary library;
    std::unique_ptr<HostedPlugin> plugin;
    std::unique_ptr<Delivery> delivery;
    std::unique_ptr<ProgressLines> progress; // samples the two above
};

} // namespace

int run(const Options &options)
{
    InputReader input(options.input, options.whole);
    std::string plugin_path = choose_plugin(options.plugin);
    std::vector<std::string> warnings;
    PluginConfig config(options.config,
        configuration_overrides(options, std::getenv(PASSWORD_VARIABLE), warnings),
        connect_limit(options));
    warnings.insert(warnings.end(), config.warnings().begin(), config.warnings().end());
    PluginRun plugin_run(options, config, plugin_path);
    return plugin_run.execute(input, warnings);
}

// An install keeps the runner's library directory and the plug-in
// directory under one prefix, however it is moved.
std::string installed_plugin(const std::string &stand_in)
{
    std::size_t slash = stand_in.rfind('/');
    if (slash == std::string::npos) {
        return std::string();
    }
    std::string directory = stand_in.substr(0, slash + 1) + TAVRIX_SINK_RUN_PLUGINS_FROM_STAND_IN;
    char resolved[PATH_MAX];
    if (realpath(directory.c_str(), resolved) != nullptr) {
        directory = resolved;
    }
    return directory + "/" + TAVRIX_SINK_RUN_PLUGIN_FILE;
}

std::string format_uuid(std::array<uint8_t, 16> bytes)
{
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) {
            text.push_back('-');
        }
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0f]);
    }
    return text;
}

std::string uuid_from_machine_id(const std::string &machine_id)
{
    std::string bare = bare_machine_id(machine_id);
    return bare.empty() ? std::string() : hashed_uuid(MACHINE_ID_SALT + bare);
}

std::string uuid_from_host_name(const std::string &host_name)
{
    return host_name.empty() ? std::string() : hashed_uuid(HOST_NAME_SALT + host_name);
}

AgentUuid default_agent_uuid(const std::vector<std::string> &files, const std::string &host_name)
{
    for (const std::string &path : files) {
        std::ifstream file(path);
        std::string machine_id;
        if (file >> machine_id) {
            std::string uuid = uuid_from_machine_id(machine_id);
            if (!uuid.empty()) {
                return {uuid, path};
            }
        }
    }
    std::string uuid = uuid_from_host_name(host_name);
    if (!uuid.empty()) {
        return {uuid, "host name"};
    }
    return {random_uuid(), "random"};
}
