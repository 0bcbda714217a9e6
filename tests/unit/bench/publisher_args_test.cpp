#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench.h"

namespace {

bool parse(const std::vector<std::string> &words, PublisherArgs &args)
{
    std::vector<char *> argv;
    for (const std::string &word : words) {
        argv.push_back(const_cast<char *>(word.c_str()));
    }
    return PublisherArgs::parse(static_cast<int>(argv.size()), argv.data(), args);
}

PublisherArgs wan_raw()
{
    PublisherArgs args{{PublisherKind::RAW, 1, 200, 1, 4000, 0}, 41234, "c017", "/tmp/w", ""};
    args.cell.link = Link::WAN;
    args.cell.raw_window = 1000;
    return args;
}

TEST(PublisherArgs, TheChildGetsTheWindowAndTheCaFile)
{
    PublisherArgs sent = wan_raw();
    sent.ca_file = "/tmp/tls/ca.crt";
    PublisherArgs got;
    ASSERT_TRUE(parse(sent.to_argv("tavrix-bench"), got));
    EXPECT_EQ(got.cell.raw_window, 1000);
    EXPECT_EQ(got.cell.payloads, 4000u);
    EXPECT_EQ(got.workdir, "/tmp/w") << "what follows the window is where it was";
    EXPECT_EQ(got.ca_file, "/tmp/tls/ca.crt");

    sent.ca_file.clear();
    sent.cell.raw_window = 0;
    ASSERT_TRUE(parse(sent.to_argv("tavrix-bench"), got));
    EXPECT_TRUE(got.ca_file.empty()) << "no TLS";
    EXPECT_EQ(got.cell.window(), LIBRARY_WINDOW);
}

TEST(PublisherArgs, RefusesWhatNoParentSends)
{
    std::vector<std::string> argv = wan_raw().to_argv("tavrix-bench");
    PublisherArgs got;
    std::vector<std::string> wide = argv;
    wide[10] = "65536";
    EXPECT_FALSE(parse(wide, got)) << "beyond what MQTT's receive maximum can say";
    std::vector<std::string> short_of_one(argv.begin(), argv.end() - 1);
    EXPECT_FALSE(parse(short_of_one, got));
}

} // namespace
