/*
 * When a publish that keeps ending connections is given up.
 */
#include <gmock/gmock.h>

#include "give_up_rule.h"
#include "test_support.h"

namespace {

struct Row {
    const char *name;
    /* The oldest unconfirmed publish at each connection's end; -1: none. */
    std::vector<int> oldest;
    /* Whether it is given up at that end. */
    std::vector<bool> given_up;
};

class GiveUpRuleTest : public ::testing::TestWithParam<Row>
{
};

TEST_P(GiveUpRuleTest, GivesUpThePublishOldestAtThreeEndsInARow)
{
    GiveUpRule rule;
    const Row &row = GetParam();
    for (std::size_t end = 0; end < row.oldest.size(); ++end) {
        std::optional<uint64_t> oldest;
        if (row.oldest[end] >= 0) {
            oldest = static_cast<uint64_t>(row.oldest[end]);
        }
        EXPECT_EQ(rule.ConnectionEnded(oldest), row.given_up[end]) << "end " << end + 1;
    }
}

INSTANTIATE_TEST_SUITE_P(Ends, GiveUpRuleTest,
    ::testing::Values(
        Row{"SamePublishThreeTimes", {7, 7, 7}, {false, false, true}},
        Row{"TheNextOneStartsItsOwnCount", {7, 7, 7, 8, 8, 8},
            {false, false, true, false, false, true}},
        Row{"AnotherOldestStartsOver", {7, 7, 8, 8, 7}, {false, false, false, false, false}},
        Row{"NothingUnconfirmedStartsOver", {7, 7, -1, 7, 7}, {false, false, false, false, false}}),
    RowName());

} // namespace
