/*
 * The host stand-in's own behaviour that the plug-in and the hosts rely
 * on: expansion, the bounded queue, payload ownership, logging and the
 * thread wrapper.
 */
#include <csignal>
#include <cstdio>
#include <functional>
#include <thread>

#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <host/tavrixd.h>

using ::testing::ElementsAre;

namespace {

std::string expand(const std::string &input, std::map<std::string, std::string> variables)
{
    std::string output;
    ag_expand_variables(input, output, variables);
    return output;
}

TEST(ExpandVariablesTest, ReplacesEveryOccurrenceOfEveryKey)
{
    std::map<std::string, std::string> vars = {{"${a}", "1"}, {"${bb}", "two"}};
    EXPECT_EQ(expand("${a}/${bb}/${a}${a}", vars), "1/two/11");
    EXPECT_EQ(expand("", vars), "");
    EXPECT_EQ(expand("plain/topic", vars), "plain/topic");
}

TEST(ExpandVariablesTest, LeavesUnmatchedAndMalformedReferencesAsWritten)
{
    std::map<std::string, std::string> vars = {{"${a}", "1"}};
    EXPECT_EQ(expand("${b}/${a}/${/$a}/${", vars), "${b}/1/${/$a}/${");
    EXPECT_EQ(expand("$${a}}", vars), "$1}");
}

TEST(ExpandVariablesTest, NeverExpandsSubstitutedText)
{
    std::map<std::string, std::string> vars = {{"${a}", "${b}"}, {"${b}", "x"}};
    EXPECT_EQ(expand("${a}${b}", vars), "${b}x");
}

TEST(ExpandVariablesTest, KeysThatAreNotReferencesStillMatch)
{
    std::map<std::string, std::string> vars = {{"%host", "h"}, {"%hostname", "long"}, {"${a}", "1"}};
    EXPECT_EQ(expand("%hostname-%host-${a}", vars), "long-h-1");
}

TEST(ExpandVariablesTest, CountsSubstitutionsAndAppendsToTheOutput)
{
    std::map<std::string, std::string> vars = {{"${a}", "1"}};
    std::string output = "pre:";
    EXPECT_EQ(ag_expand_variables("${a}${a}${x}", output, vars), 2u);
    EXPECT_EQ(output, "pre:11${x}");
}

TEST(GlobalConfigTest, UuidsAndMissingInstance)
{
    agGlobalConfig config;
    config.SetUUID(UUID_SITE, "site");
    std::string uuid = "stale";
    EXPECT_TRUE(config.LoadUUID(UUID_SITE, uuid));
    EXPECT_EQ(uuid, "site");
    EXPECT_FALSE(config.LoadUUID(UUID_AGENT, uuid));
    EXPECT_EQ(uuid, "");

    agGlobalConfig::instance = nullptr;
    EXPECT_THAT([] { agGlobalConfig::GetInstance(); },
        ::testing::ThrowsMessage<agException>(
            "static agGlobalConfig &agGlobalConfig::GetInstance(): instance not found"));
}

TEST(PayloadTest, OwnsACopyOfTheBytes)
{
    std::string bytes("a\0b", 3);
    agPluginSinkPayload payload(bytes.data(), bytes.size(), {"x", "y"});
    bytes[0] = 'z';
    EXPECT_EQ(std::string(reinterpret_cast<char *>(payload.data), payload.length),
        std::string("a\0b", 3));
    EXPECT_THAT(payload.channels, ElementsAre("x", "y"));

    agPluginSinkPayload empty(nullptr, 0, {});
    EXPECT_EQ(empty.length, 0u);
}

class QueueSink : public agPluginSink
{
public:
    explicit QueueSink(const std::map<std::string, std::string> &params = {})
        : agPluginSink("sink", params)
    {
    }
    void *Entry() override
    {
        entry_hook();
        return nullptr;
    }
    std::function<void()> entry_hook = [] {};
};

std::shared_ptr<agPluginSinkPayload> payload_of(const std::string &text)
{
    return std::make_shared<agPluginSinkPayload>(text.data(), text.size(),
        std::set<std::string>{"c"});
}

TEST(PayloadQueueTest, BoundedQueueDropsAndCountsWhatDoesNotFit)
{
    QueueSink sink;
    sink.SetPayloadQueueLimit(2);
    for (const char *text : {"1", "2", "3"}) {
        sink.QueuePayload(payload_of(text));
    }
    EXPECT_EQ(sink.GetPayloadsQueued(), 2u);
    EXPECT_EQ(sink.GetPayloadsDropped(), 1u);
    EXPECT_EQ(sink.WaitOnPayloadQueue(0), 2u);

    std::shared_ptr<agPluginSinkPayload> popped;
    ASSERT_TRUE(sink.PopPayloadQueue(popped));
    EXPECT_EQ(popped->data[0], '1');
    ASSERT_TRUE(sink.PopPayloadQueue(popped));
    EXPECT_EQ(popped->data[0], '2');
    EXPECT_FALSE(sink.PopPayloadQueue(popped));
    EXPECT_EQ(popped->data[0], '2') << "a failed pop leaves the handle alone";

    sink.QueuePayload(nullptr);
    EXPECT_EQ(sink.GetPayloadsDropped(), 2u) << "a null payload never reaches the plug-in";
    EXPECT_EQ(sink.WaitOnPayloadQueue(0), 0u);
}

TEST(PayloadQueueTest, WaitsAreBoundedAndWakeOnChange)
{
    QueueSink sink;
    EXPECT_EQ(sink.WaitOnPayloadQueue(10), 0u) << "times out on an empty queue";
    EXPECT_TRUE(sink.WaitForPayloadQueueDepth(0, 0)) << "an empty queue is drained";

    sink.QueuePayload(payload_of("x"));
    EXPECT_FALSE(sink.WaitForPayloadQueueDepth(0, 10));
    std::thread consumer([&sink] {
        std::shared_ptr<agPluginSinkPayload> popped;
        sink.PopPayloadQueue(popped);
    });
    EXPECT_TRUE(sink.WaitForPayloadQueueDepth(0, 5000));
    consumer.join();
}

TEST(PluginSinkTest, TypeAndConfigurationFromTheParameters)
{
    QueueSink defaults;
    EXPECT_EQ(defaults.GetType(), 1);
    EXPECT_EQ(defaults.GetConfigPath(), "");

    QueueSink given({{"type", "255"}, {"config", "/etc/x.json"}});
    EXPECT_EQ(given.GetType(), 255);
    EXPECT_EQ(given.GetConfigPath(), "/etc/x.json");
}

/* Every line the log sink receives while it lives. */
struct LogLines {
    LogLines()
    {
        ag_set_log_sink([this](agLogLevel, const std::string &line) { lines.push_back(line); });
    }
    ~LogLines() { ag_set_log_sink(nullptr); }
    std::vector<std::string> lines;
};

TEST(ThreadTest, EntryRunsOnceWithSignalsBlocked)
{
    sigset_t seen;
    sigemptyset(&seen);
    int runs = 0;
    QueueSink sink;
    sink.entry_hook = [&] {
        ++runs;
        pthread_sigmask(SIG_SETMASK, nullptr, &seen);
    };
    ASSERT_TRUE(sink.Create());
    EXPECT_FALSE(sink.Create()) << "a second start";
    sink.Join();
    sink.Join();
    EXPECT_FALSE(sink.Create()) << "a start after the end";
    sink.Join();

    EXPECT_EQ(runs, 1);
    EXPECT_EQ(sigismember(&seen, SIGINT), 1);
    EXPECT_EQ(sigismember(&seen, SIGHUP), 1);
    EXPECT_FALSE(sink.HasFailed());

    sigset_t mine;
    pthread_sigmask(SIG_SETMASK, nullptr, &mine);
    EXPECT_EQ(sigismember(&mine, SIGHUP), 0) << "the creator's mask is restored";
}

TEST(ThreadTest, JoinWithoutStartReturnsAtOnce)
{
    QueueSink sink;
    sink.Join();
    EXPECT_FALSE(sink.HasFailed());
}

TEST(ThreadTest, ExceptionIsLoggedAndKeptForTheHost)
{
    LogLines logged;
    QueueSink sink;
    sink.entry_hook = [] { throw agException("%s: %s", "sink", "it broke"); };
    sink.Create();
    sink.Join();
    EXPECT_TRUE(sink.HasFailed());
    EXPECT_EQ(sink.GetFailure(), "sink: it broke");
    EXPECT_THAT(logged.lines, ElementsAre("sink: it broke"));
}

TEST(LogTest, OneLineEachAndDebugOnlyWhenEnabled)
{
    LogLines logged;
    ag_set_debug(false);
    ag_printf("%s: %d", "a", 1);
    ag_printf("b\n");
    ag_dprintf("hidden %s", "x");
    ag_set_debug(true);
    ag_dprintf("shown %lu\n", 5000000000UL);
    ag_set_debug(false);

    EXPECT_THAT(logged.lines, ElementsAre("a: 1", "b\n", "shown 5000000000\n"))
        << "a sink sees the text exactly as formatted";
}

TEST(LogTest, StandardErrorGetsOneNewlinePerLine)
{
    std::FILE *capture = std::tmpfile();
    ASSERT_NE(capture, nullptr);
    std::fflush(stderr);
    int saved = dup(fileno(stderr));
    dup2(fileno(capture), fileno(stderr));
    ag_printf("%s", "bare");
    ag_printf("ended\n");
    ag_printf("doubled\n\n");
    std::fflush(stderr);
    dup2(saved, fileno(stderr));
    close(saved);

    std::rewind(capture);
    std::string written(256, '\0');
    written.resize(std::fread(&written[0], 1, written.size(), capture));
    std::fclose(capture);
    EXPECT_EQ(written, "bare\nended\ndoubled\n");
}

TEST(LogTest, LongLinesAreNotCut)
{
    LogLines logged;
    std::string long_text(5000, 'x');
    ag_printf("%s", long_text.c_str());
    ASSERT_EQ(logged.lines.size(), 1u);
    EXPECT_EQ(logged.lines[0], long_text);
}

} // namespace
