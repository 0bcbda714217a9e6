#include "broker_choice.h"

void BrokerChoice::Assign(const std::vector<BrokerEntry> &list)
{
    if (list == entries) {
        return;
    }
    entries = list;
    current = 0;
    attempted = false;
}

const BrokerEntry &BrokerChoice::Next()
{
    if (attempted && !reached) {
        current = (current + 1) % entries.size();
    }
    attempted = true;
    reached = false;
    return entries[current];
}
