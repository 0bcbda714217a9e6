/*
 * The instance's figures in the agent's status document: off by default
 * (the document comes back as it was), and when on, each figure follows
 * what the worker and libmosquitto did.
 */
#include "test_support.h"

#include <atomic>
#include <thread>

#include <mosquitto.h>

namespace {

class StatusTest : public PluginTest
{
protected:
    void SetUp() override
    {
        PluginTest::SetUp();
        make(config_params(R"({"topic": "t/${channel}", "report_status": true})"));
        reload();
        log->clear();
    }

    nlohmann::json figures()
    {
        nlohmann::json document = nlohmann::json::object();
        plugin->GetStatus(document);
        return document.value("mqtt", nlohmann::json());
    }
};

TEST_F(StatusTest, OffTheDocumentComesBackByteForByte)
{
    for (const char *json : {R"({"topic": "t"})", R"({"topic": "t", "report_status": false})",
             R"({"topic": "t", "report_status": "yes"})"}) {
        auto quiet = make_plugin(config_params(json));
        quiet->Reload();
        for (nlohmann::json document :
            {nlohmann::json(), nlohmann::json::parse(R"({"sinks": [1, 2.5], "name": "é"})")}) {
            const std::string before = document.dump();
            quiet->GetStatus(document);
            EXPECT_EQ(document.dump(), before) << json;
        }
    }
}

TEST_F(StatusTest, FiguresGoUnderTheTagOfAnObjectOrNullDocumentOnly)
{
    nlohmann::json object = {{"other", 1}};
    plugin->GetStatus(object);
    EXPECT_EQ(object["other"], 1);
    EXPECT_TRUE(object["mqtt"].is_object());

    nlohmann::json null_document;
    plugin->GetStatus(null_document);
    EXPECT_TRUE(null_document["mqtt"].is_object());

    nlohmann::json array = {1, 2};
    plugin->GetStatus(array);
    EXPECT_EQ(array, nlohmann::json({1, 2}));
}

TEST_F(StatusTest, ConnectionFollowsAttemptsConnacksAndLosses)
{
    EXPECT_EQ(figures()["connection"], "waiting");
    EXPECT_TRUE(figures()["connected_since"].is_null());

    fake::script("mosquitto_connect_async", MOSQ_ERR_ERRNO);
    plugin->mqConnect();
    EXPECT_EQ(figures()["connection"], "waiting");
    EXPECT_EQ(figures()["last_connection_error"], "MQ connect: localhost:1883: error text 14 [14]");

    plugin->mqConnect();
    EXPECT_EQ(figures()["connection"], "connecting");
    EXPECT_EQ(figures()["broker"], "localhost:1883");
    fake::fire_log(MOSQ_LOG_ERR, "OpenSSL Error[0]: certificate verify failed");
    fake::fire_connect(0);
    // From the CONNACK on, libmosquitto formats no line for the plug-in.
    fake::fire_log(MOSQ_LOG_ERR, "after the CONNACK");
    nlohmann::json up = figures();
    EXPECT_EQ(up["connection"], "connected");
    EXPECT_EQ(up["connections"], 1);
    EXPECT_THAT(up["connected_since"].get<std::string>(),
        ::testing::MatchesRegex("[0-9]{4}-[0-9]{2}-[0-9]{2}T[0-9]{2}:[0-9]{2}:[0-9]{2}Z"));

    fake::fire_disconnect(MOSQ_ERR_CONN_LOST);
    nlohmann::json down = figures();
    EXPECT_EQ(down["connection"], "waiting");
    EXPECT_EQ(down["connections_lost"], 1);
    EXPECT_TRUE(down["connected_since"].is_null());
    EXPECT_EQ(down["last_library_error"], "OpenSSL Error[0]: certificate verify failed");

    plugin->mqReset();
    EXPECT_EQ(figures()["connections_lost"], 1) << "a connection ends once";
}

TEST_F(StatusTest, MessagesArePublishedConfirmedRefusedAndNeverBelowZero)
{
    plugin->mqConnect();
    fake::fire_connect(0);
    plugin->mqPublish(payload("x", {"a", "b"}));
    fake::script("mosquitto_publish", MOSQ_ERR_INVAL);
    fake::script("mosquitto_publish", MOSQ_ERR_INVAL);
    plugin->mqPublish(payload("x", {"c", "d"}));
    // The same id twice: confirmed once.
    fake::fire_publish(fake::published_mids().front());
    fake::fire_publish(fake::published_mids().front());

    nlohmann::json now = figures();
    EXPECT_EQ(now["messages_published"], 2);
    EXPECT_EQ(now["messages_confirmed"], 1);
    EXPECT_EQ(now["messages_unconfirmed"], 1);
    EXPECT_EQ(now["messages_refused"], 2) << "each channel's refusal";
    EXPECT_EQ(now["last_refusal"], "MQ Publish: t/d: error text 3.");
}

// The worker's own figures: payloads taken, and what a broken connection
// left that the next one publishes again.
TEST_F(StatusTest, ResentAfterABreakAndTakenOnceHandedOver)
{
    SocketPair pair;
    plugin->mqConnect();
    fake::fire_connect(0);
    fake::set_socket(pair.client());
    queue_many(3);
    break_and_reconnect();

    nlohmann::json now = figures();
    EXPECT_EQ(now["payloads_taken"], 3);
    EXPECT_EQ(now["messages_published"], 3);
    EXPECT_EQ(now["messages_resent"], 2);
    EXPECT_EQ(now["messages_unconfirmed"], 2);
    EXPECT_EQ(now["connections"], 2);
    EXPECT_EQ(now["connections_lost"], 1);
    EXPECT_EQ(now["last_connection_error"], "MQ read: error text 7 [7]");
}

// Read from a host thread while the worker publishes: no lock the worker
// waits for, no figure torn or going back.
TEST_F(StatusTest, HostThreadsReadWhileTheWorkerCounts)
{
    plugin->mqConnect();
    fake::fire_connect(0);
    std::atomic<bool> done{false};
    uint64_t last_published = 0;
    bool monotonic = true;
    std::thread reader([&] {
        while (!done.load()) {
            nlohmann::json now = figures();
            uint64_t published = now["messages_published"];
            monotonic = monotonic && published >= last_published &&
                now["messages_unconfirmed"].get<uint64_t>() <= published;
            last_published = published;
        }
    });
    for (int i = 0; i < 2000; ++i) {
        plugin->mqPublish(payload("x"));
        fake::fire_publish(fake::published_mids().back());
    }
    done = true;
    reader.join();

    EXPECT_TRUE(monotonic);
    EXPECT_EQ(figures()["messages_confirmed"], 2000);
}

} // namespace
