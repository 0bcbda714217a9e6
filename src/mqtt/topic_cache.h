/*
 * The expanded topic of each channel.
 *
 * A channel's topic depends only on the topic template and the variable
 * map, which change only when the configuration is reloaded; expanding it
 * once per channel instead of once per publish saves a copy of the map and
 * an expansion on every message. The cache is cleared at every reload and
 * whenever it has grown to its bound, so a host that invents channel names
 * without end cannot grow it without end.
 */
#ifndef TAVRIX_MQTT_TOPIC_CACHE_H
#define TAVRIX_MQTT_TOPIC_CACHE_H

#include <cstddef>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

/* A topic shared by every publish made to it: the record keeps a
 * reference per publish, not a copy. */
using SharedTopic = std::shared_ptr<const std::string>;

class TopicCache
{
public:
    static constexpr std::size_t MAX_CHANNELS = 4096;

    /* The topic of `channel`: `topic` expanded against a copy of
     * `variables` with "${channel}" added (unless the map has it already).
     * The reference holds until the next call or Clear(); the topic it
     * shares, as long as someone holds it. */
    const SharedTopic &TopicFor(const std::string &channel, const std::string &topic,
        const std::map<std::string, std::string> &variables);

    void Clear() { topics.clear(); }
    std::size_t Size() const { return topics.size(); }

private:
    std::unordered_map<std::string, SharedTopic> topics;
};

#endif
