#include "plugin_loader.h"

#include <dlfcn.h>
#include <link.h>

#include "abi_check.h"

namespace {

std::string last_dl_error()
{
    const char *error = dlerror();
    return error == nullptr ? std::string("unknown error") : std::string(error);
}

// The size of the symbol at `address`, 0 when the loader cannot tell.
std::size_t symbol_size(void *address)
{
    Dl_info info;
    void *entry = nullptr;
    if (dladdr1(address, &info, &entry, RTLD_DL_SYMENT) == 0 || entry == nullptr) {
        return 0;
    }
    return static_cast<std::size_t>(static_cast<const ElfW(Sym) *>(entry)->st_size);
}

} // namespace

PluginLibrary::PluginLibrary(const std::string &path) : library_path(path), handle(nullptr)
{
    // RTLD_NOW: an unresolved symbol is refused here rather than failing
    // in the middle of a run.
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

void PluginLibrary::check_record()
{
    void *record = symbol("ag_plugin_abi");
    std::string differences = check_abi_record(record, symbol_size(record));
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
