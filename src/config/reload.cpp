#include "asp_plugin.h"

#include <cerrno>
#include <cstring>
#include <fstream>

#include <sys/stat.h>

#include "broker_list.h"
#include "convert.h"
#include "publish_values.h"

namespace {

// The type a member's value is converted to: a port is read as a 32-bit
// number, of which it keeps the low 16 bits.
template <typename Member>
struct Converted {
    using type = Member;
};
template <>
struct Converted<uint16_t> {
    using type = uint32_t;
};

// One guarded step: a key that is missing, null or of a refused type (or a
// document that is not an object) leaves the member as it is.
template <typename Member>
void assign(nlohmann::json &document, const char *key, Member &member)
{
    try {
        nlohmann::json &value = document[key];
        typename Converted<Member>::type converted{};
        config_convert(value, converted);
        member = static_cast<Member>(std::move(converted));
    } catch (...) {
    }
}

bool is_directory(const std::string &path)
{
    struct stat info;
    return ::stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

} // namespace

void aspPlugin::Reload()
{
    ag_dprintf("%s: Loading configuration: %s\n", tag.c_str(), config_path.c_str());
    // Topics are expanded from the template and the variables, both of
    // which may change here.
    topics.Clear();

    agGlobalConfig::GetInstance().LoadUUID(UUID_AGENT, uuid_agent);
    agGlobalConfig::GetInstance().LoadUUID(UUID_SERIAL, uuid_serial);
    agGlobalConfig::GetInstance().LoadUUID(UUID_SITE, uuid_site);
    RefreshVariables();

    errno = 0;
    std::ifstream stream(config_path, std::ios::in);
    int open_error = errno != 0 ? errno : ENOENT;
    if (!stream.is_open()) {
        throw agException("%s: %s: %s", tag.c_str(), config_path.c_str(), strerror(open_error));
    }
    // A directory opens like a file here and would read as empty input;
    // name the real problem instead of a JSON syntax error.
    if (is_directory(config_path)) {
        throw agException("%s: %s: %s", tag.c_str(), config_path.c_str(), strerror(EISDIR));
    }

    nlohmann::json document;
    try {
        document = nlohmann::json::parse(stream, nullptr, true, true);
    } catch (const nlohmann::json::exception &e) {
        throw agException("%s: %s: JSON exception: %s", tag.c_str(), config_path.c_str(), e.what());
    } catch (const std::exception &e) {
        throw agException("%s: %s: %s", tag.c_str(), config_path.c_str(), e.what());
    }

    RefuseUnpublishable(document);
    Lock();
    ApplyConfiguration(document);
    Unlock();
    ReportUnusableValues();
    status.Enable(report_status);
}

// Checked on the values this load would make, before any is assigned: a
// reload refused so leaves the running configuration whole, as a broken
// file does.
void aspPlugin::RefuseUnpublishable(nlohmann::json &document)
{
    std::string next_topic = topic;
    int32_t next_qos = message_qos;
    assign(document, "topic", next_topic);
    assign(document, "message_qos", next_qos);
    std::string problem = config_publish_problem(next_topic, next_qos);
    if (!problem.empty()) {
        throw agException("%s: %s: %s", tag.c_str(), config_path.c_str(), problem.c_str());
    }
}

// Told once, at the load that brings them, rather than at every attempt:
// the connect step skips a broker entry it cannot use, and a will QoS no
// broker takes is the default's.
void aspPlugin::ReportUnusableValues()
{
    std::vector<std::string> problems;
    config_broker_list(host, port, problems);
    // Any value but "5" means 3.1.1 (mqInit), from the next connection on.
    if (protocol_version != PROTOCOL_311 && protocol_version != PROTOCOL_5) {
        problems.push_back("protocol_version \"" + protocol_version + "\" is neither \"" +
            PROTOCOL_311 + "\" nor \"" + PROTOCOL_5 + "\": using \"" + PROTOCOL_311 + "\"");
    }
    if (spool_max_bytes <= 0) {
        problems.push_back("spool_max_bytes " + std::to_string(spool_max_bytes) +
            " is not above 0: using " + std::to_string(Spool::DEFAULT_MAX_BYTES));
        spool_max_bytes = static_cast<int64_t>(Spool::DEFAULT_MAX_BYTES);
    }
    if (will_qos < 0 || will_qos > 2) {
        problems.push_back("will_qos " + std::to_string(will_qos) + " is outside 0 to 2: using " +
            std::to_string(DEFAULT_WILL_QOS));
        will_qos = DEFAULT_WILL_QOS;
    }
    for (const std::string &line : problems) {
        ag_printf("%s: %s\n", tag.c_str(), line.c_str());
    }
}

void aspPlugin::RefreshVariables()
{
    variables.clear();
    const auto &host_variables = agGlobalConfig::GetInstance().conf_vars;
    variables.insert(host_variables.begin(), host_variables.end());
    // A host variable of the same name wins over the plug-in's UUID.
    variables.emplace("${uuid_agent}", uuid_agent);
    variables.emplace("${uuid_serial}", uuid_serial);
    variables.emplace("${uuid_site}", uuid_site);
}

void aspPlugin::ApplyConfiguration(nlohmann::json &document)
{
#define CONFIG_KEY(name, kind, type, initial, shown, help) assign(document, #name, name);
#include "config_keys.def"
#undef CONFIG_KEY
}
