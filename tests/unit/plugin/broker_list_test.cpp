/*
 * `host` as a list of brokers: what an entry may be. (The rotation is the
 * connect step's: connect_test.cpp.)
 */
#include <gmock/gmock.h>

#include "broker_list.h"

using ::testing::ElementsAreArray;

namespace {

std::vector<std::string> addresses(const std::string &hosts, std::size_t problems)
{
    std::vector<std::string> lines, found;
    for (const BrokerEntry &entry : config_broker_list(hosts, 1883, lines)) {
        found.push_back(entry.Address());
    }
    EXPECT_EQ(lines.size(), problems) << hosts << ": " << testing::PrintToString(lines);
    return found;
}

TEST(BrokerListTest, EntriesTakeTheirOwnPortOrTheConfiguredOne)
{
    struct Row {
        const char *hosts;
        std::vector<std::string> expected;
        std::size_t problems;
    } rows[] = {
        // A single host reads as it always has, IPv6 included.
        {"mqtt.example.net", {"mqtt.example.net:1883"}, 0},
        {"10.0.0.1", {"10.0.0.1:1883"}, 0},
        {"fe80::1:1884", {"[fe80::1:1884]:1883"}, 0},
        {"b:8883", {"b:8883"}, 0},
        {" a , [::1]:1884,[::2],b:65535 ", {"a:1883", "[::1]:1884", "[::2]:1883", "b:65535"}, 0},
        {"a,,b:0,c:x,[::1,[::1]x,:5,d:,e:+1,f:65536", {"a:1883"}, 9},
        {"", {"localhost:1883"}, 2},
        {" , ", {"localhost:1883"}, 3},
    };
    for (const Row &row : rows) {
        EXPECT_THAT(addresses(row.hosts, row.problems), ElementsAreArray(row.expected))
            << row.hosts;
    }
}

} // namespace
