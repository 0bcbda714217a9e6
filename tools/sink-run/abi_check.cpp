#include "abi_check.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>

#include <host/ag_plugin_abi.h>

namespace {

std::string hex(uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%08" PRIx32, value);
    return text;
}

std::string mismatch(const char *field, const std::string &found, const std::string &expected)
{
    return std::string(field) + " " + found + " (expected " + expected + ")";
}

void append(std::string &differences, const std::string &difference)
{
    if (!differences.empty()) {
        differences += ", ";
    }
    differences += difference;
}

} // namespace

std::string check_abi_record(const void *record, std::size_t size)
{
    // A symbol shorter than the record is not read past its end: only
    // its size is reported.
    if (size != 0 && size < sizeof(agPluginAbi)) {
        return "ag_plugin_abi is " + std::to_string(size) + " bytes (expected " +
            std::to_string(sizeof(agPluginAbi)) + ")";
    }
    agPluginAbi abi;
    std::memcpy(&abi, record, sizeof abi);
    std::string differences;
    if (abi.magic != AG_PLUGIN_ABI_MAGIC) {
        append(differences, mismatch("magic", hex(abi.magic), hex(AG_PLUGIN_ABI_MAGIC)));
    }
    if (abi.length != sizeof(agPluginAbi)) {
        append(differences, mismatch("length", std::to_string(abi.length),
            std::to_string(sizeof(agPluginAbi))));
    }
    if (abi.version != AG_PLUGIN_ABI_VERSION) {
        append(differences, mismatch("host interface version", std::to_string(abi.version),
            std::to_string(AG_PLUGIN_ABI_VERSION)));
    }
    return differences;
}
