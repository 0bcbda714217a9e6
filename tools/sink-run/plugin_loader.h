/*
 * Loading the plug-in as the agent does: dlopen, the interface record,
 * then the entry point.
 */
#ifndef TAVRIX_SINK_RUN_PLUGIN_LOADER_H
#define TAVRIX_SINK_RUN_PLUGIN_LOADER_H

#include <map>
#include <stdexcept>
#include <string>

#include <host/tavrixd.h>

/* A library that is not a plug-in for this host, or an entry point that
 * refused; the message is the one line to print. */
class PluginRefused : public std::runtime_error
{
public:
    using std::runtime_error::runtime_error;
};

class PluginLibrary
{
public:
    /* Opens the library and checks its interface record; throws
     * PluginRefused. */
    explicit PluginLibrary(const std::string &path);
    /* Unloads the library; every instance must be gone by then. */
    ~PluginLibrary();

    PluginLibrary(const PluginLibrary &) = delete;
    PluginLibrary &operator=(const PluginLibrary &) = delete;

    /* Calls the entry point; throws PluginRefused when it returns no sink.
     * The caller owns the instance. */
    agPluginSink *create(const std::string &tag, const std::map<std::string, std::string> &params);

    const std::string &path() const { return library_path; }

private:
    void *symbol(const char *name);
    void check_record();

    std::string library_path;
    void *handle;
};

#endif
