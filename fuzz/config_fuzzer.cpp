/*
 * Fuzzes configuration loading: every input becomes the whole
 * configuration file of one live instance, which then reloads from it.
 * A file the loader cannot use must end in agException. Anything else
 * leaving Reload, a sanitizer report, a hang, a thread lock left held or
 * a variable map that differs from the host's is a finding.
 *
 * The instance lives for the whole run, as it would in the agent, so each
 * reload starts from the members that earlier inputs left behind.
 */
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>

#include <unistd.h>

#include <host/tavrixd.h>
#include <host_session.h>

#include "asp_plugin.h"

extern "C" agPlugin *agPluginInit(const std::string &tag,
    const std::map<std::string, std::string> &params);

namespace {

using Variables = std::map<std::string, std::string>;

struct Fixture {
    std::unique_ptr<HostSession> host;
    std::string dir;
    std::string path;
    aspPlugin *plugin = nullptr;
    Variables expected_variables;
};

// Never destroyed: the instance is still reachable at exit, and the agent
// would not tear it down between reloads either.
Fixture &fixture()
{
    static Fixture *instance = new Fixture;
    return *instance;
}

[[noreturn]] void fail(const char *what)
{
    std::fprintf(stderr, "config_fuzzer: %s\n", what);
    __builtin_trap();
}

void remove_scratch()
{
    ::unlink(fixture().path.c_str());
    ::rmdir(fixture().dir.c_str());
}

void make_scratch(Fixture &f)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") +
                          "/tavrix-fuzz-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        fail("cannot create a scratch directory");
    }
    f.dir = pattern;
    f.path = f.dir + "/mqtt.json";
    std::atexit(remove_scratch);
}

void write_config(const std::string &path, const uint8_t *data, size_t size)
{
    // A fresh file each time: truncating one that holds data makes ext4
    // flush it to disk on close, which costs milliseconds per input.
    ::unlink(path.c_str());
    std::FILE *file = std::fopen(path.c_str(), "wb");
    if (file == nullptr) {
        fail("cannot write the configuration file");
    }
    bool written = size == 0 || std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) {
        fail("cannot write the configuration file");
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    Fixture &f = fixture();
    make_scratch(f);

    // Debug lines are formatted (that is code under test too) and dropped.
    f.host = std::make_unique<HostSession>(
        HostIdentity{"agent-uuid", "site-uuid", "serial-uuid",
            {{"${region}", "eu-west"}, {"${uuid_site}", "host-site"}}},
        [](agLogLevel, const std::string &) {}, true);
    f.expected_variables = {{"${region}", "eu-west"}, {"${uuid_agent}", "agent-uuid"},
        {"${uuid_serial}", "serial-uuid"}, {"${uuid_site}", "host-site"}};

    f.plugin = static_cast<aspPlugin *>(agPluginInit("fuzz", {{"config", f.path}}));
    if (f.plugin == nullptr) {
        fail("the entry point refused the instance");
    }
    return 0;
}

// The plug-in keeps its state private and lets one peer class read it;
// in this program the fuzzer is that peer.
class PluginPeer
{
public:
    static const std::map<std::string, std::string> &variables(const aspPlugin &plugin)
    {
        return plugin.variables;
    }
};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Fixture &f = fixture();
    write_config(f.path, data, size);

    try {
        f.plugin->Reload();
    } catch (const agException &) {
        // The loader's own report of an unusable file.
    } catch (...) {
        fail("an exception other than agException left Reload");
    }

    if (PluginPeer::variables(*f.plugin) != f.expected_variables) {
        fail("the variable map differs from the host's variables and UUIDs");
    }
    // Held by mistake, the lock makes this hang, which the run reports as
    // a time-out.
    f.plugin->Lock();
    f.plugin->Unlock();
    return 0;
}
