#include "give_up_rule.h"

bool GiveUpRule::ConnectionEnded(std::optional<uint64_t> oldest)
{
    if (oldest != watched) {
        watched = oldest;
        ends = 0;
    }
    if (!watched || ++ends < CONNECTIONS) {
        return false;
    }
    watched.reset();
    ends = 0;
    return true;
}
