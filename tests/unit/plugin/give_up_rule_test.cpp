/*
 * When a publish that keeps ending connections is given up.
 */
#include <gmock/gmock.h>

#include "give_up_rule.h"

TEST(GiveUpRuleTest, GivesUpThePublishOldestAtThreeEndsInARow)
{
    // The oldest unconfirmed publish at each connection's end (-1: none),
    // and the ends at which it is given up.
    struct Row {
        std::vector<int> oldest;
        std::vector<bool> given_up;
    } rows[] = {
        {{7, 7, 7, 8, 8, 8}, {false, false, true, false, false, true}},
        {{7, 7, 8, 8, 7}, {false, false, false, false, false}},
        {{7, 7, -1, 7, 7}, {false, false, false, false, false}},
    };
    for (const Row &row : rows) {
        GiveUpRule rule;
        std::vector<bool> given_up;
        for (int oldest : row.oldest) {
            given_up.push_back(rule.ConnectionEnded(
                oldest < 0 ? std::nullopt : std::optional<uint64_t>(oldest)));
        }
        EXPECT_EQ(given_up, row.given_up) << ::testing::PrintToString(row.oldest);
    }
}
