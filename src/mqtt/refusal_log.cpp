#include "refusal_log.h"

bool RefusalLog::Refused(const std::string &topic, const std::string &reason,
    Clock::time_point now)
{
    auto [pair, starts] = pairs.try_emplace({topic, reason});
    pair->second.last = now;
    if (starts) {
        pair->second.told = now;
    } else {
        ++pair->second.untold;
    }
    return starts;
}

std::vector<std::string> RefusalLog::Counts(bool all, Clock::time_point now)
{
    std::vector<std::string> lines;
    for (auto pair = pairs.begin(); pair != pairs.end();) {
        Pair &state = pair->second;
        if (state.untold > 0 && (all || now - state.told >= INTERVAL)) {
            lines.push_back(std::to_string(state.untold) + " more publishes on " +
                pair->first.first + " refused: " + pair->first.second);
            state.untold = 0;
            state.told = now;
        }
        if (state.untold == 0 && (all || now - state.last >= INTERVAL)) {
            pair = pairs.erase(pair);
        } else {
            ++pair;
        }
    }
    return lines;
}
