#include "sink_status.h"

#include <utility>

namespace {

SinkSpool sink_spool(const nlohmann::json &figures)
{
    SinkSpool spool;
    spool.configured = true;
    using S = SinkSpool;
    for (const auto &[key, field] : {std::pair{"payloads", &S::payloads}, {"bytes", &S::bytes},
             {"dropped", &S::dropped}, {"replayed", &S::replayed}, {"skipped", &S::skipped},
             {"write_failures", &S::write_failures}}) {
        bool fits = figures.contains(key) && figures.at(key).is_number_unsigned();
        spool.*field = fits ? figures.at(key).get<uint64_t>() : 0;
    }
    if (figures.contains("oldest_age_s") && figures.at("oldest_age_s").is_number_integer()) {
        spool.oldest_age_s = figures.at("oldest_age_s").get<uint64_t>();
    }
    for (const auto &[key, field] : {std::pair{"dir", &S::dir}, {"state", &S::state}}) {
        bool fits = figures.contains(key) && figures.at(key).is_string();
        spool.*field = fits ? figures.at(key).get<std::string>() : "";
    }
    return spool;
}

} // namespace

SinkStatus sink_status(agPluginSink &sink, const std::string &tag)
{
    nlohmann::json document = nlohmann::json::object();
    sink.GetStatus(document);
    SinkStatus status;
    if (!document.contains(tag) || !document.at(tag).is_object()) {
        return status;
    }
    const nlohmann::json &figures = document.at(tag);
    status.reported = true;
    status.connected = figures.contains("connection") && figures.at("connection") == "connected";
    // Each figure's key in the status document, with its field; a figure of
    // another type than the plug-in writes reads as none.
    using S = SinkStatus;
    for (const auto &[key, field] : {std::pair{"connections", &S::connections},
             {"connections_lost", &S::connections_lost}, {"payloads_taken", &S::payloads_taken},
             {"messages_published", &S::published}, {"messages_confirmed", &S::confirmed},
             {"messages_unconfirmed", &S::unconfirmed}, {"messages_resent", &S::resent},
             {"messages_lost", &S::lost}, {"messages_refused", &S::refused},
             {"messages_refused_by_broker", &S::refused_by_broker},
             {"messages_possibly_lost", &S::possibly_lost}}) {
        bool fits = figures.contains(key) && figures.at(key).is_number_unsigned();
        status.*field = fits ? figures.at(key).get<uint64_t>() : 0;
    }
    for (const auto &[key, field] : {std::pair{"broker", &S::broker},
             {"last_refusal", &S::last_refusal},
             {"last_broker_refusal", &S::last_broker_refusal},
             {"protocol_version", &S::protocol_version},
             {"last_connection_error", &S::last_connection_error},
             {"last_library_error", &S::last_library_error}}) {
        bool fits = figures.contains(key) && figures.at(key).is_string();
        status.*field = fits ? figures.at(key).get<std::string>() : "";
    }
    if (figures.contains("broker_refusals") && figures.at("broker_refusals").is_object()) {
        for (const auto &reason : figures.at("broker_refusals").items()) {
            if (reason.value().is_number_unsigned()) {
                status.broker_refusals[reason.key()] = reason.value().get<uint64_t>();
            }
        }
    }
    if (figures.contains("broker_limits") && figures.at("broker_limits").is_object()) {
        status.broker_limits = figures.at("broker_limits");
    }
    if (figures.contains("spool") && figures.at("spool").is_object()) {
        status.spool = sink_spool(figures.at("spool"));
    }
    return status;
}
