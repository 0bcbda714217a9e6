#include "publish_values.h"

bool config_topic_has_wildcard(const std::string &topic)
{
    for (std::size_t i = 0; i < topic.size(); ++i) {
        std::size_t end = topic.compare(i, 2, "${") == 0 ? topic.find('}', i) : std::string::npos;
        if (end != std::string::npos) {
            i = end;
        } else if (topic[i] == '+' || topic[i] == '#') {
            return true;
        }
    }
    return false;
}

std::string config_publish_problem(const std::string &topic, int32_t qos)
{
    const char *outcome = ": every publish would be refused";
    if (topic.empty()) {
        return std::string("topic is empty") + outcome;
    }
    if (config_topic_has_wildcard(topic)) {
        return "topic \"" + topic + "\" holds + or # outside ${...}" + outcome;
    }
    if (qos < 0 || qos > 2) {
        return "message_qos " + std::to_string(qos) + " is outside 0 to 2" + outcome;
    }
    return "";
}
