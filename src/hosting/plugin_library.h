/*
 * The plug-in's shared library, loaded as the agent loads it: dlopen, a
 * check of the exported interface record, then the entry point.
 */
#ifndef TAVRIX_HOSTING_PLUGIN_LIBRARY_H
#define TAVRIX_HOSTING_PLUGIN_LIBRARY_H

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

/* What differs between the record's magic, length and version fields and
 * this host's, each named with the value found and the value expected;
 * empty when the record fits. */
std::string abi_differences(uint32_t magic, uint32_t length, uint32_t version);

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

    /* Calls the entry point; throws PluginRefused when it throws or returns
     * no sink. The caller owns the instance. */
    agPluginSink *create(const std::string &tag, const std::map<std::string, std::string> &params);

    const std::string &path() const { return library_path; }

private:
    void *symbol(const char *name);
    void check_record();

    std::string library_path;
    void *handle = nullptr;
};

#endif
