#include "sink_status.h"

namespace {

uint64_t number(const nlohmann::json &figures, const char *key)
{
    auto found = figures.find(key);
    return found != figures.end() && found->is_number_unsigned() ? found->get<uint64_t>() : 0;
}

std::string text(const nlohmann::json &figures, const char *key)
{
    auto found = figures.find(key);
    return found != figures.end() && found->is_string() ? found->get<std::string>() : "";
}

} // namespace

SinkStatus sink_status(agPluginSink &sink, const std::string &tag)
{
    nlohmann::json document = nlohmann::json::object();
    sink.GetStatus(document);
    SinkStatus status;
    auto figures = document.find(tag);
    if (figures == document.end() || !figures->is_object()) {
        return status;
    }
    status.reported = true;
    status.connected = text(*figures, "connection") == "connected";
    status.broker = text(*figures, "broker");
    status.connections = number(*figures, "connections");
    status.connections_lost = number(*figures, "connections_lost");
    status.payloads_taken = number(*figures, "payloads_taken");
    status.published = number(*figures, "messages_published");
    status.confirmed = number(*figures, "messages_confirmed");
    status.unconfirmed = number(*figures, "messages_unconfirmed");
    status.resent = number(*figures, "messages_resent");
    status.lost = number(*figures, "messages_lost");
    status.refused = number(*figures, "messages_refused");
    status.last_refusal = text(*figures, "last_refusal");
    status.last_connection_error = text(*figures, "last_connection_error");
    status.last_library_error = text(*figures, "last_library_error");
    return status;
}
