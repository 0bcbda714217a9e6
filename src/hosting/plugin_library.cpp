#include "plugin_library.h"

#include <cinttypes>
#include <cstdio>

#include <dlfcn.h>

namespace {

std::string last_dl_error()
{
    const char *error = dlerror();
    return error == nullptr ? std::string("unknown error") : std::string(error);
}

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIx32, value);
    return text;
}

} // namespace

std::string abi_differences(uint32_t magic, uint32_t length, uint32_t version)
{
    std::string differences;
    auto differ = [&differences](const char *field, const std::string &found,
                      const std::string &expected) {
        if (found != expected) {
            differences += (differences.empty() ? "" : ", ") + std::string(field) + " " + found +
                " (expected " + expected + ")";
        }
    };
    differ("magic", hex(magic), hex(AG_PLUGIN_ABI_MAGIC));
    differ("length", std::to_string(length), std::to_string(sizeof(agPluginAbi)));
    differ("host interface version", std::to_string(version),
        std::to_string(AG_PLUGIN_ABI_VERSION));
    return differences;
}

PluginLibrary::PluginLibrary(const std::string &path) : library_path(path)
{
    // RTLD_NOW: an unresolved symbol is refused here rather than failing
    // in the middle of a run. RTLD_LOCAL: plug-ins do not see each other.
    handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        throw PluginRefused("cannot load the plug-in: " + last_dl_error());
    }
    try {
        check_record();
    } catch (...) {
        dlclose(handle);
        throw;
    }
}

PluginLibrary::~PluginLibrary()
{
    dlclose(handle);
}

void *PluginLibrary::symbol(const char *name)
{
    dlerror();
    void *address = dlsym(handle, name);
    if (address == nullptr) {
        throw PluginRefused(library_path + " is not a tavrixd plug-in: no " + name + " (" +
            last_dl_error() + ")");
    }
    return address;
}

// The three leading fields are read before anything else: a record of
// another layout may be shorter than ours, and its length says so.
void PluginLibrary::check_record()
{
    auto record = static_cast<const agPluginAbi *>(symbol("ag_plugin_abi"));
    std::string differences = abi_differences(record->magic, record->length, record->version);
    if (!differences.empty()) {
        throw PluginRefused(library_path + " was built for another host interface: " +
            differences);
    }
}

agPluginSink *PluginLibrary::create(const std::string &tag,
    const std::map<std::string, std::string> &params)
{
    auto init = reinterpret_cast<agPluginInitFunction>(symbol("agPluginInit"));
    agPlugin *plugin = nullptr;
    try {
        plugin = init(tag, params);
    } catch (const std::exception &e) {
        throw PluginRefused(std::string("the plug-in refused to start: ") + e.what());
    }
    if (plugin == nullptr) {
        throw PluginRefused("the plug-in refused to start (agPluginInit returned no instance)");
    }
    auto *sink = dynamic_cast<agPluginSink *>(plugin);
    if (sink == nullptr) {
        delete plugin;
        throw PluginRefused("the plug-in is not a sink");
    }
    return sink;
}
