/*
 * The worker loop, run on the test's own thread: actions bound to fake
 * calls end it at the point a test needs, so every pass is deterministic.
 */
#include "test_support.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <thread>

#include <poll.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <unistd.h>

#include <mosquitto.h>

using ::testing::Contains;
using ::testing::ElementsAre;
using ::testing::Ge;
using ::testing::IsEmpty;
using ::testing::Not;

namespace {

const char *START_LINE = "mqtt: Tavrix MQTT Sink Plugin v1.3.0, publishing to MQTT.\n";

bool readable_now(int fd)
{
    struct pollfd entry = {fd, POLLIN, 0};
    return poll(&entry, 1, 0) == 1 && (entry.revents & POLLIN) != 0;
}

class WorkerTest : public PluginTest
{
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        make(config_params(R"({"topic": "t/${channel}"})"), true);
    }

    /* A client whose configuration is loaded, with `fd` as its socket and
     * the broker's CONNACK read: the connection is up. */
    void open_socket(int fd)
    {
        reload();
        fake::set_socket(fd);
        PluginPeer(*plugin).connected = true;
        log->clear();
    }

    /* As open_socket, but the CONNACK has not come yet. */
    void start_attempt(int fd)
    {
        reload();
        fake::on("mosquitto_connect_async", [fd] { fake::set_socket(fd); });
        plugin->mqConnect();
        fake::on("mosquitto_connect_async", nullptr);
        fake::forget_calls();
        log->clear();
    }

    /* Runs the loop until the `nth` call of `function`. */
    void *run_until(const std::string &function, int nth = 1)
    {
        fake::on_each(function, [this, nth](int call) {
            if (call == nth) {
                plugin->Terminate();
            }
        });
        return plugin->Entry();
    }

    static constexpr std::size_t ALL = SIZE_MAX;

    /* Runs a pass that times out per entry of `confirmations` and returns
     * how many publish requests were made by the end of each; after each
     * pass the broker acknowledges as many of the oldest as its entry says. */
    std::vector<std::size_t> published_by_pass(const std::vector<std::size_t> &confirmations)
    {
        std::vector<std::size_t> counts;
        std::size_t confirmed = 0;
        fake::on("mosquitto_loop_misc", [&] {
            counts.push_back(published().size());
            if (counts.size() == confirmations.size()) {
                plugin->Terminate();
            }
            const std::vector<int> mids = fake::published_mids();
            for (std::size_t n = confirmations[counts.size() - 1];
                 n > 0 && confirmed < mids.size(); --n) {
                fake::fire_publish(mids.at(confirmed++));
            }
        });
        fake::script_select(fake::TIMED_OUT, static_cast<int>(confirmations.size()));
        plugin->Entry();
        fake::on("mosquitto_loop_misc", nullptr);
        return counts;
    }

    SocketPair pair;
};

TEST_F(WorkerTest, TerminateBeforeStartOnlyLogsTheStartUpLine)
{
    plugin->Terminate();
    EXPECT_EQ(plugin->Entry(), nullptr);
    EXPECT_THAT(log->lines(), ElementsAre(START_LINE));
    EXPECT_THAT(fake::calls(), IsEmpty());
    EXPECT_TRUE(PluginPeer(*plugin).reload_pending.load());
}

TEST_F(WorkerTest, FirstPassReloadsKeepsWhatIsQueuedAndStartsTheConnection)
{
    queue_many(2, "early");
    EXPECT_EQ(run_until("mosquitto_connect_async"), nullptr);

    EXPECT_THAT(log->lines(), ElementsAre(START_LINE,
                                  "mqtt: Loading configuration: " + plugin->GetConfigPath() + "\n"));
    EXPECT_THAT(published(), IsEmpty());
    EXPECT_EQ(plugin->GetPayloadQueueDepth(), 2u) << "left in the host's queue";
    EXPECT_FALSE(PluginPeer(*plugin).reload_pending.load());
    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{REINITIALISE, CONNECT}));
    EXPECT_TRUE(PluginPeer(*plugin).connecting);
}

TEST_F(WorkerTest, IdlePassRunsOnlyHousekeeping)
{
    open_socket(pair.client());
    fake::script_select(fake::TIMED_OUT);
    run_until("mosquitto_loop_misc");

    EXPECT_THAT(fake::calls_of("mosquitto_loop"), ElementsAre("mosquitto_loop_misc()"))
        << "nothing read or written";
    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{"select(read)", "mosquitto_loop_misc()"}));
}

TEST_F(WorkerTest, ReadyPassReadsThenWrites)
{
    open_socket(pair.client());
    fake::set_want_write(true);
    fake::script_select({2, 0, true, true});
    run_until("mosquitto_loop_write");

    EXPECT_THAT(fake::calls(),
        HasSubsequence(Lines{"select(read, write)", "mosquitto_loop_read(1)",
            "mosquitto_loop_write(1)"}));
    EXPECT_THAT(fake::calls_of("mosquitto_loop_write"), ElementsAre("mosquitto_loop_write(1)"))
        << "no write ahead of the read either";
}

TEST_F(WorkerTest, ReadFailureResetsAndSkipsTheWrite)
{
    open_socket(pair.client());
    fake::script_select({2, 0, true, true});
    fake::script("mosquitto_loop_read", MOSQ_ERR_CONN_LOST);
    run_until("mosquitto_disconnect");

    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{
                                   "mosquitto_loop_read(1)", "mosquitto_disconnect()"}));
    EXPECT_THAT(fake::calls_of("mosquitto_loop_write"), IsEmpty());
    EXPECT_THAT(log->containing(": MQ "), ElementsAre("mqtt: MQ read: error text 7 [7]"));
    EXPECT_FALSE(PluginPeer(*plugin).connected);
}

TEST_F(WorkerTest, WriteFailureIsLoggedAsAReadFailure)
{
    open_socket(pair.client());
    fake::script_select({1, 0, false, true});
    fake::script("mosquitto_loop_write", MOSQ_ERR_CONN_LOST);
    run_until("mosquitto_disconnect");

    EXPECT_THAT(log->containing(": MQ "), ElementsAre("mqtt: MQ read: error text 7 [7]"));
    EXPECT_THAT(fake::calls_of("mosquitto_loop"), ElementsAre("mosquitto_loop_write(1)"));
    EXPECT_FALSE(PluginPeer(*plugin).connected);
}

TEST_F(WorkerTest, HousekeepingFailureResets)
{
    open_socket(pair.client());
    fake::script_select(fake::TIMED_OUT);
    fake::script("mosquitto_loop_misc", MOSQ_ERR_NO_CONN);
    run_until("mosquitto_disconnect");

    EXPECT_THAT(log->containing(": MQ "), ElementsAre("mqtt: MQ misc: error text 4 [4]"));
    EXPECT_FALSE(PluginPeer(*plugin).connected);
}

TEST_F(WorkerTest, DrainGoesOnAfterARefusedPayload)
{
    open_socket(pair.client());
    queue("one");
    queue("two");
    queue("three");
    fake::script("mosquitto_publish", MOSQ_ERR_NOMEM);
    fake::script_select(fake::TIMED_OUT);
    run_until("mosquitto_loop_misc");

    EXPECT_THAT(published(),
        ElementsAre(publish_of("t/a", 3), publish_of("t/a", 3), publish_of("t/a", 5)));
    EXPECT_EQ(plugin->GetPayloadQueueDepth(), 0u);
}

TEST_F(WorkerTest, PayloadsBeforeTheConnackWaitInTheQueue)
{
    start_attempt(pair.client());
    queue_many(3 * aspPlugin::DRAIN_BATCH, "early");
    fake::script_select(fake::TIMED_OUT);
    run_until("mosquitto_want_write");

    EXPECT_THAT(published(), IsEmpty());
    EXPECT_THAT(log->lines(), ElementsAre(START_LINE));
    EXPECT_EQ(plugin->GetPayloadQueueDepth(), 3 * aspPlugin::DRAIN_BATCH);
}

TEST_F(WorkerTest, PublishesOnceTheBrokerHasAccepted)
{
    // Pass 1 connects; pass 2 reads the CONNACK while a payload arrives;
    // pass 3 publishes both, oldest first.
    queue("waited");
    fake::on("mosquitto_connect_async", [this] { fake::set_socket(pair.client()); });
    pair.send_to_client();
    fake::on_each("mosquitto_loop_read", [this](int call) {
        if (call == 1) {
            fake::fire_connect(0);
            queue("kept", {"a", "b"});
        } else {
            plugin->Terminate();
        }
    });

    plugin->Entry();

    EXPECT_THAT(published(),
        ElementsAre(publish_of("t/a", 6), publish_of("t/a", 4), publish_of("t/b", 4)));
}

TEST_F(WorkerTest, ReloadRequestedDuringAReloadIsServedByTheNextPass)
{
    open_socket(pair.client());
    PluginPeer(*plugin).reload_pending = true;
    // Asked for once, while the first reload runs.
    log->on_line("Loading configuration", [this] {
        log->on_line("", nullptr);
        plugin->DispatchEvent(agPlugin::EVENT_RELOAD, nullptr);
    });
    fake::script_select(fake::TIMED_OUT, 3);
    run_until("mosquitto_loop_misc", 3);

    EXPECT_EQ(log->containing("Loading configuration").size(), 2u);
    EXPECT_EQ(fake::calls_of("mosquitto_loop_misc").size(), 3u) << "one reload per pass at most";
    EXPECT_FALSE(PluginPeer(*plugin).reload_pending.load());
}

TEST_F(WorkerTest, FailedReloadLeavesTheLoopWithTheRequestStillPending)
{
    make({{"config", files.path() + "/missing.json"}});

    EXPECT_THROW(plugin->Entry(), agException);

    EXPECT_TRUE(PluginPeer(*plugin).reload_pending.load());
    EXPECT_THAT(fake::calls_of("mosquitto_connect_async"), IsEmpty())
        << "no attempt with a configuration that did not load";
    EXPECT_THAT(fake::calls_of("select"), IsEmpty()) << "no wait either";
}

TEST_F(WorkerTest, InterruptedWaitIsNotAFailure)
{
    open_socket(pair.client());
    fake::script_select({-1, EINTR, false, false});
    fake::script_select(fake::TIMED_OUT);
    EXPECT_NO_THROW(run_until("mosquitto_loop_misc"));

    EXPECT_THAT(fake::calls_of("select"), ElementsAre("select(read)", "select(read)"))
        << "waited again";
    EXPECT_THAT(fake::calls_of("mosquitto_loop"), ElementsAre("mosquitto_loop_misc()"))
        << "the interrupted wait neither timed out nor found the socket ready";
    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{"select(read)",
                                   "select(read)", "mosquitto_loop_misc()"}));
}

TEST_F(WorkerTest, FailedWaitEndsTheLoop)
{
    open_socket(pair.client());
    fake::script_select({-1, EBADF, false, false});
    EXPECT_THAT([this] { plugin->Entry(); },
        ::testing::ThrowsMessage<agException>("mqtt: select: Bad file descriptor"));
}

TEST_F(WorkerTest, RealWaitWakesForAReadableSocket)
{
    open_socket(pair.client());
    pair.send_to_client();
    run_until("mosquitto_loop_read");

    EXPECT_THAT(fake::select_outcomes(), ElementsAre("ready"));
    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{"select(read)", "mosquitto_loop_read(1)"}));
}

TEST_F(WorkerTest, SocketBeyondTheSelectSetIsWaitedOnWithoutIt)
{
    struct rlimit limit;
    getrlimit(RLIMIT_NOFILE, &limit);
    const int high = FD_SETSIZE + 100;
    if (limit.rlim_cur <= static_cast<rlim_t>(high)) {
        limit.rlim_cur = std::min<rlim_t>(limit.rlim_max, high + 1);
        setrlimit(RLIMIT_NOFILE, &limit);
    }
    if (dup2(pair.client(), high) != high) {
        GTEST_SKIP() << "cannot open descriptor " << high;
    }
    open_socket(high);
    fake::set_want_write(true);
    pair.send_to_client();
    run_until("mosquitto_loop_write");
    close(high);

    EXPECT_THAT(fake::calls_of("select"), IsEmpty());
    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{
                                   "mosquitto_loop_read(1)", "mosquitto_loop_write(1)"}));
}

TEST_F(WorkerTest, HostKeepsTheExceptionThatEndedTheThread)
{
    std::string missing = files.path() + "/missing.json";
    plugin = make_plugin({{"config", missing}});

    plugin->Create();
    plugin->Join();

    EXPECT_TRUE(plugin->HasFailed());
    EXPECT_EQ(plugin->GetFailure(), "mqtt: " + missing + ": No such file or directory");
    EXPECT_THAT(log->notices(), Contains(plugin->GetFailure()));
}

// ---------------------------------------------------------------------------
// Wake-ups: the worker's wait ends as soon as there is something to do.

class WorkerThreadTest : public WorkerTest
{
protected:
    void TearDown() override
    {
        plugin->Terminate();
        plugin->Join();
        WorkerTest::TearDown();
    }

    /* A connected worker on its own thread, waiting on a socket that
     * never becomes readable. */
    void start_connected()
    {
        open_socket(pair.client());
        plugin->Create();
        ASSERT_TRUE(wait_until([] { return !fake::calls_of("select").empty(); }));
    }
};

TEST_F(WorkerThreadTest, QueuedPayloadEndsTheWaitAtOnce)
{
    start_connected();

    queue("now");

    ASSERT_TRUE(wait_until([] { return !published().empty(); }));
    EXPECT_EQ(fake::select_outcomes().front(), "woken") << "not the one-second time-out";
}

TEST_F(WorkerThreadTest, StopAndReloadRequestsEndTheWaitAtOnce)
{
    start_connected();

    plugin->DispatchEvent(agPlugin::EVENT_RELOAD, nullptr);
    ASSERT_TRUE(wait_until([this] { return !log->containing("Loading configuration").empty(); }));
    plugin->Terminate();
    plugin->Join();

    EXPECT_THAT(fake::select_outcomes(), Not(Contains("timed out")));
    EXPECT_THAT(fake::select_outcomes(), Contains("woken").Times(Ge(2u)));
}

TEST_F(WorkerThreadTest, HousekeepingRunsEverySecondUnderSteadyWakeUps)
{
    start_connected();
    std::atomic<bool> feeding{true};
    std::thread feeder([&] {
        while (feeding.load()) {
            queue("tick");
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    });

    bool kept_alive = wait_until([] { return fake::calls_of("mosquitto_loop_misc").size() >= 2; });
    feeding = false;
    feeder.join();

    EXPECT_TRUE(kept_alive);
    EXPECT_THAT(fake::select_outcomes(), Contains("woken").Times(Ge(20u)))
        << "the waits were cut short";
}

TEST_F(WorkerTest, PayloadQueuedWhileTheWorkerIsBusyWritesNoWakeUp)
{
    open_socket(pair.client());
    queue("first");
    bool pending_after_queue = true;
    fake::on("mosquitto_publish", [&] {
        // A host thread's payload arrives while the worker drains.
        fake::on("mosquitto_publish", nullptr);
        queue("second");
        pending_after_queue = readable_now(PluginPeer(*plugin).wakeup.Fd());
    });
    fake::script_select(fake::TIMED_OUT, 2);
    run_until("mosquitto_loop_misc", 2);

    EXPECT_FALSE(pending_after_queue);
    EXPECT_EQ(published().size(), 2u) << "the next pass takes it";
}

// ---------------------------------------------------------------------------
// What one pass hands to libmosquitto.

TEST_F(WorkerTest, NoHandOverWhileLibmosquittoHasUnwrittenData)
{
    open_socket(pair.client());
    fake::set_want_write(true);
    queue_many(3);
    fake::script_select(fake::TIMED_OUT, 2);
    fake::on_each("mosquitto_loop_misc", [this](int pass) {
        if (pass == 1) {
            EXPECT_EQ(plugin->GetPayloadQueueDepth(), 3u) << "kept in the host's queue";
            fake::set_want_write(false);
        } else {
            plugin->Terminate();
        }
    });

    plugin->Entry();

    EXPECT_EQ(published().size(), 3u) << "handed over once written";
}

TEST_F(WorkerTest, OnePassHandsOverABatchAtTheMost)
{
    open_socket(pair.client());
    // QoS 0: no window or path to bound the hand-off.
    PluginPeer(*plugin).message_qos = 0;
    const uint64_t payloads = 2 * aspPlugin::DRAIN_BATCH + 500;
    queue_many(payloads);
    // Each pass's messages are written within the pass, so only the batch
    // bounds a pass.
    EXPECT_THAT(published_by_pass({ALL, ALL, ALL}),
        ElementsAre(aspPlugin::DRAIN_BATCH, 2 * aspPlugin::DRAIN_BATCH, payloads));
}

// libmosquitto's cost per message grows with what is in flight: the
// hand-off keeps to what the path needs, and widens as it shows more.
TEST_F(WorkerTest, HandOverStartsNarrowAndWidensAsThePathShowsItNeedsMore)
{
    open_socket(pair.client());
    queue_many(1000);
    // Every publish confirmed at once: a path with no round trip to speak
    // of holds nothing, and the window never limits it; then, confirmed
    // late, a far broker's.
    std::vector<std::size_t> counts = published_by_pass({ALL, ALL, ALL, ALL});

    EXPECT_EQ(counts.front(), InflightTarget::FLOOR);
    EXPECT_LT(counts.back(), 1000u) << "not the whole window at once";
}

// libmosquitto copies every payload it is handed: what waits unconfirmed
// is bounded in bytes too, whatever the window.
TEST_F(WorkerTest, HandOverStopsAtTheUnconfirmedBytes)
{
    open_socket(pair.client());
    const std::string megabyte(1 << 20, 'x');
    const uint64_t fit = aspPlugin::UNCONFIRMED_BYTES / megabyte.size();
    queue_many(fit + 8, megabyte);

    EXPECT_THAT(published_by_pass({3, 0}), ElementsAre(fit, fit + 3));
    EXPECT_EQ(PluginPeer(*plugin).record.Bytes(), fit * megabyte.size());
}

// At QoS 1 and 2 nothing is handed over beyond the in-flight window: it
// would only wait in libmosquitto's queue.
TEST_F(WorkerTest, HandOverKeepsWithinTheInFlightWindow)
{
    open_socket(pair.client());
    PluginPeer(*plugin).message_qos = 2;
    queue_many(100);

    // Topped up by what was confirmed, each pass.
    const std::size_t window = aspPlugin::QOS2_WINDOW;
    EXPECT_THAT(published_by_pass({9, 1, 0}), ElementsAre(window, window + 9, window + 10));
}

// ---------------------------------------------------------------------------
// The connection's life: attempts, their bound, and what a break leaves.

TEST_F(WorkerTest, WhatABrokenConnectionLeftUnconfirmedGoesFirstOnTheNextOne)
{
    open_socket(pair.client());
    queue("one");
    queue("two");
    // "one" is acknowledged before the break; "three" arrives with the CONNACK.
    break_and_reconnect([this] { queue("three"); });

    EXPECT_THAT(published(),
        ElementsAre(publish_of("t/a", 3), publish_of("t/a", 3), publish_of("t/a", 3),
            publish_of("t/a", 5)));
    EXPECT_THAT(fake::calls(),
        HasSubsequence(Lines{REINITIALISE, CONNECT, publish_of("t/a", 3), publish_of("t/a", 5)}));
    EXPECT_THAT(log->notices(),
        Contains("mqtt: published again 1 messages the last connection left unconfirmed\n"));
    EXPECT_EQ(PluginPeer(*plugin).record.Size(), 2u) << "two and three, not yet confirmed";
}

// The birth goes first on every connection, the farewell last, before the
// DISCONNECT; neither is a payload's to record or to publish again.
TEST_F(WorkerTest, BirthPrecedesTheResendsAndTheFarewellTheDisconnect)
{
    make(config_params(R"({"topic": "t/${channel}", "will_topic": "s"})"), true);
    open_socket(pair.client());
    queue("one");
    queue("two");
    break_and_reconnect([this] {
        queue("three");
        // The stop's farewell is written and confirmed at once.
        fake::script_select({1, 0, false, true});
        fake::on("mosquitto_loop_write", [] { fake::fire_publish(fake::published_mids().back()); });
    });

    EXPECT_THAT(published(),
        ElementsAre(publish_of("t/a", 3), publish_of("t/a", 3), publish_of("s", 6, 1, true),
            publish_of("t/a", 3), publish_of("t/a", 5), publish_of("s", 7, 1, true)));
    EXPECT_EQ(PluginPeer(*plugin).record.Size(), 2u) << "two and three, not yet confirmed";
    EXPECT_THAT(log->containing("farewell"), IsEmpty());
    plugin.reset();
    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{publish_of("s", 7, 1, true),
                                   "mosquitto_loop_write(1)", "mosquitto_disconnect()"}));
}

// A stop ends the connection, not the broker: the publish two broken
// connections left unconfirmed is not given up at the stop's end (a spool
// keeps it for the next start).
TEST_F(WorkerTest, StopEndsNoConnectionThatCountsTowardsGivingUp)
{
    open_socket(pair.client());
    plugin->mqPublish(std::make_shared<agPluginSinkPayload>("one", 3, std::set<std::string>{"a"}));
    for (int end = 0; end < 2; ++end) {
        plugin->mqReset();
        PluginPeer(*plugin).connected = true;
    }
    plugin->Terminate();
    plugin.reset();

    EXPECT_THAT(log->containing("gave up"), IsEmpty());
    EXPECT_THAT(log->notices(),
        Contains("mqtt: dropped 1 unconfirmed publishes (3 bytes) with the instance\n"));
}

// A farewell the broker does not confirm must not end in a DISCONNECT,
// which would make the broker drop the will.
TEST_F(WorkerTest, UnconfirmedFarewellLeavesWithoutDisconnectingForTheWillToBePublished)
{
    make(config_params(R"({"topic": "t", "will_topic": "s", "will_payload": "gone"})"), true);
    reload();
    fake::set_socket(pair.client());
    plugin->mqConnect();
    fake::fire_connect(0);
    fake::script_select({1, 0, true, false});
    fake::script("mosquitto_loop_read", MOSQ_ERR_CONN_LOST);

    plugin->mqSayFarewell();
    plugin.reset();

    EXPECT_THAT(fake::calls(), HasSubsequence(Lines{publish_of("s", 4, 1, true),
                                   "mosquitto_loop_read(1)", "mosquitto_destroy()"}));
    EXPECT_THAT(fake::calls_of("mosquitto_disconnect()"), IsEmpty());
    EXPECT_THAT(log->notices(),
        Contains("mqtt: farewell on s not confirmed within 1000 ms: leaving without DISCONNECT,"
                 " for the broker to publish the will\n"));
}

TEST_F(WorkerTest, FailureBeforeTheConnackIsTheAttemptsFailure)
{
    start_attempt(pair.client());
    fake::script_select({1, 0, true, false});
    fake::script("mosquitto_loop_read", MOSQ_ERR_CONN_REFUSED);
    run_until("mosquitto_disconnect");

    EXPECT_THAT(log->notices(),
        ElementsAre(START_LINE, "mqtt: MQ connect: localhost:1883: error text 5 [5]"));
    EXPECT_FALSE(PluginPeer(*plugin).connecting);
}

TEST_F(WorkerTest, AttemptWithoutConnackIsAbandonedAtTheLimit)
{
    start_attempt(pair.client());
    PluginPeer(*plugin).age_attempt(aspPlugin::CONNECT_LIMIT);
    run_until("mosquitto_disconnect");

    EXPECT_THAT(log->notices(),
        ElementsAre(START_LINE, "mqtt: MQ connect: localhost:1883: no CONNACK within 10 s [27]"));
    EXPECT_FALSE(PluginPeer(*plugin).connecting);
    EXPECT_THAT(fake::calls_of("select"), IsEmpty()) << "no wait on an abandoned socket";
}

// Until the socket has been ready its TCP connect is under way. After
// that, a want the write step leaves on a writable socket is a TLS
// handshake waiting for the broker, which only a read advances; a pass
// that times out runs the read and write steps all the same.
TEST_F(WorkerTest, AttemptWatchesWritabilityUntilTheSocketOpensThenWaitsForTheBroker)
{
    start_attempt(pair.client());
    fake::set_want_write(true);
    fake::script_select({1, 0, false, true});
    fake::script_select({1, 0, true, false});
    fake::script_select(fake::TIMED_OUT);
    run_until("mosquitto_loop_read", 3);

    EXPECT_THAT(fake::calls_of("select"),
        ElementsAre("select(read, write)", "select(read)", "select(read)"));
    EXPECT_THAT(fake::calls_of("mosquitto_loop"),
        ElementsAre("mosquitto_loop_read(1)", "mosquitto_loop_write(1)", "mosquitto_loop_write(1)",
            "mosquitto_loop_read(1)", "mosquitto_loop_write(1)", "mosquitto_loop_write(1)",
            "mosquitto_loop_read(1)", "mosquitto_loop_write(1)"))
        << "each wait after a stale want is preceded by a write step";
}

// A CONNECT (or a TLS flight) larger than the socket takes at once: the
// write interest stays until all of it is written.
TEST_F(WorkerTest, PacketLargerThanTheSocketTakesKeepsTheWriteInterest)
{
    start_attempt(pair.client());
    pair.fill_client();
    fake::set_want_write(true);
    fake::script_select({1, 0, false, true}, 2);
    run_until("mosquitto_loop_write", 2);

    EXPECT_THAT(fake::calls_of("select"), ElementsAre("select(read, write)", "select(read, write)"));
}

// libmosquitto keeps a want-write that SSL_read set until it next writes
// a packet: with nothing queued, a writable socket would end every wait at
// once, and the drain would take nothing.
TEST_F(WorkerTest, StaleWantWriteNeitherSpinsNorHoldsPayloadsBack)
{
    open_socket(pair.client());
    fake::set_want_write(true);
    queue_many(3);
    run_until("mosquitto_loop_write", 2);

    EXPECT_THAT(fake::calls_of("select"), ElementsAre("select(read, write)", "select(read)"));
    EXPECT_EQ(published().size(), 3u);
    EXPECT_EQ(plugin->GetPayloadQueueDepth(), 0u);
}

TEST_F(WorkerTest, BrokenFileOnALaterReloadKeepsTheRunningConfiguration)
{
    fake::set_socket(pair.client());
    PluginPeer(*plugin).connected = true;
    fake::script_select(fake::TIMED_OUT, 3);
    fake::on_each("mosquitto_loop_misc", [this](int pass) {
        if (pass == 1) {
            files.write("mqtt.json", R"({"topic": "half-written)");
        } else if (pass == 2) {
            files.write("mqtt.json", R"({"topic": "new/${channel}"})");
            queue("after");
        } else {
            plugin->Terminate();
        }
        if (pass < 3) {
            plugin->DispatchEvent(agPlugin::EVENT_RELOAD, nullptr);
        }
    });

    EXPECT_NO_THROW(plugin->Entry());

    auto failure = log->containing(": JSON exception: ");
    ASSERT_EQ(failure.size(), 1u);
    EXPECT_EQ(failure.front().rfind("mqtt: " + plugin->GetConfigPath() + ": JSON exception: ", 0),
        0u);
    EXPECT_THAT(log->notices(),
        Contains("mqtt: configuration not reloaded: the running configuration stays\n"));
    EXPECT_EQ(PluginPeer(*plugin).topic, "new/${channel}") << "the repaired file applies";
    EXPECT_THAT(published(), ElementsAre(publish_of("new/a", 5)));
    EXPECT_FALSE(PluginPeer(*plugin).reload_pending.load());
}

TEST_F(WorkerThreadTest, FailedAttemptIsRetriedAfterAWaitThatAReloadOrAStopEnds)
{
    for (int attempt = 0; attempt < 3; ++attempt) {
        fake::script("mosquitto_connect_async", MOSQ_ERR_ERRNO);
    }
    auto attempts = [] { return fake::calls_of("mosquitto_connect_async").size(); };
    plugin->Create();
    ASSERT_TRUE(wait_until([&] { return attempts() == 1; }));
    EXPECT_FALSE(wait_until([&] { return attempts() > 1; }, std::chrono::milliseconds(500)))
        << "tried again without a wait";

    plugin->DispatchEvent(agPlugin::EVENT_RELOAD, nullptr);
    EXPECT_TRUE(wait_until([&] { return attempts() == 2; }, std::chrono::milliseconds(400)))
        << "a reload may have brought a broker that answers: tried at once";
    EXPECT_GT(PluginPeer(*plugin).retry_in(), std::chrono::milliseconds(1500))
        << "the wait doubled";

    auto asked = std::chrono::steady_clock::now();
    plugin->Terminate();
    plugin->Join();
    EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));
}

} // namespace
