#include "topic_cache.h"

#include <host/tavrixd.h>

const SharedTopic &TopicCache::TopicFor(const std::string &channel, const std::string &topic,
    const std::map<std::string, std::string> &variables)
{
    auto found = topics.find(channel);
    if (found != topics.end()) {
        return found->second;
    }
    if (topics.size() >= MAX_CHANNELS) {
        topics.clear();
    }
    // A fresh copy per channel: no channel name can outlive its own topic.
    std::map<std::string, std::string> channel_variables(variables);
    channel_variables.emplace("${channel}", channel);
    std::string expanded;
    ag_expand_variables(topic, expanded, channel_variables);
    return topics.emplace(channel, std::make_shared<const std::string>(std::move(expanded)))
        .first->second;
}
