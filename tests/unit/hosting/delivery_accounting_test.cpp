#include <gtest/gtest.h>

#include <delivery_accounting.h>

namespace {

// Stand-ins for libmosquitto's client handles: the ledger only compares them.
const mosquitto *const FIRST = reinterpret_cast<const mosquitto *>(0x1000);
const mosquitto *const SECOND = reinterpret_cast<const mosquitto *>(0x2000);

class ClientLedgerTest : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ledger.adopt(FIRST);
        ledger.set_listener([this] { ++news; });
    }
    void publish(const mosquitto *client, int times)
    {
        for (int i = 0; i < times; ++i) {
            ledger.published(client);
        }
    }

    ClientLedger ledger;
    int news = 0;
};

TEST_F(ClientLedgerTest, PublishesStayOutstandingUntilConfirmedAndTheLastOneIsNews)
{
    publish(FIRST, 3);
    bool resend = ledger.published(FIRST);
    ledger.refused(FIRST, resend);
    ledger.confirmed(FIRST);
    ledger.confirmed(FIRST);
    DeliveryCounts counts = ledger.counts();
    EXPECT_EQ(counts.accepted, 3u);
    EXPECT_EQ(counts.refused, 1u);
    EXPECT_EQ(counts.outstanding(), 1u);
    EXPECT_EQ(news, 0);
    ledger.confirmed(FIRST);
    EXPECT_EQ(ledger.counts().outstanding(), 0u);
    EXPECT_EQ(news, 1);
}

// The plug-in hands what a re-initialise dropped over again, first: those
// publishes are re-sends, still outstanding until confirmed, and lost only
// if the library refuses them or the client is destroyed first.
TEST_F(ClientLedgerTest, WhatAReinitialiseDroppedIsResentNotLost)
{
    ledger.adopt(SECOND);
    publish(FIRST, 3);
    publish(SECOND, 1);
    ledger.confirmed(FIRST);
    ledger.dropped(FIRST, false);
    DeliveryCounts counts = ledger.counts();
    EXPECT_EQ(counts.lost, 0u);
    EXPECT_EQ(counts.outstanding(), 3u) << "two to re-send, one on the other client";
    // A confirmation where nothing is outstanding must not settle another
    // client's publish.
    ledger.confirmed(FIRST);
    EXPECT_EQ(ledger.counts().confirmed, 1u);

    EXPECT_TRUE(ledger.published(FIRST));
    bool resend = ledger.published(FIRST);
    ledger.refused(FIRST, resend);
    EXPECT_FALSE(ledger.published(FIRST)) << "a new payload's publish";
    ledger.confirmed(FIRST);
    counts = ledger.counts();
    EXPECT_EQ(counts.accepted, 5u);
    EXPECT_EQ(counts.resent, 1u);
    EXPECT_EQ(counts.lost, 1u) << "the refused re-send";
    EXPECT_EQ(counts.confirmed, 2u);
    EXPECT_EQ(counts.outstanding(), 2u);

    ledger.dropped(FIRST, false);
    ledger.dropped(FIRST, true);
    EXPECT_EQ(ledger.counts().lost, 2u) << "destroyed before it could re-send";
}

TEST_F(ClientLedgerTest, AReinitialiseClearsTheCallbacksAndADestroyForgetsTheClient)
{
    int marker = 0;
    ledger.set_callback(FIRST, ClientHook::CONNECT, &marker);
    EXPECT_TRUE(ledger.claim_publish_hook(FIRST));
    EXPECT_FALSE(ledger.claim_publish_hook(FIRST));
    EXPECT_EQ(ledger.callback(FIRST, ClientHook::CONNECT), &marker);

    ledger.dropped(FIRST, false);
    EXPECT_TRUE(ledger.knows(FIRST));
    EXPECT_EQ(ledger.callback(FIRST, ClientHook::CONNECT), nullptr);
    EXPECT_TRUE(ledger.claim_publish_hook(FIRST)) << "libmosquitto forgot the hook";

    publish(FIRST, 1);
    ledger.dropped(FIRST, true);
    EXPECT_FALSE(ledger.knows(FIRST));
    EXPECT_EQ(ledger.counts().lost, 1u);
    ledger.dropped(FIRST, true);
    EXPECT_EQ(ledger.counts().lost, 1u);
}

TEST_F(ClientLedgerTest, ConnectionsCountOnceFromAcceptanceToTheirEnd)
{
    struct Step {
        const char *what;
        void (*act)(ClientLedger &);
        uint64_t connections, disconnections;
    } steps[] = {
        {"a refusal", [](ClientLedger &l) { l.connect_result(FIRST, 5); }, 0, 0},
        {"an acceptance", [](ClientLedger &l) { l.connect_result(FIRST, 0); }, 1, 0},
        {"the same again", [](ClientLedger &l) { l.connect_result(FIRST, 0); }, 1, 0},
        {"its end", [](ClientLedger &l) { l.disconnected(FIRST); }, 1, 1},
        {"another end", [](ClientLedger &l) { l.disconnected(FIRST); }, 1, 1},
        {"a new one", [](ClientLedger &l) { l.connect_result(FIRST, 0); }, 2, 1},
        {"a reinitialise", [](ClientLedger &l) { l.dropped(FIRST, false); }, 2, 2},
    };
    for (const Step &step : steps) {
        step.act(ledger);
        DeliveryCounts counts = ledger.counts();
        EXPECT_EQ(counts.connections, step.connections) << step.what;
        EXPECT_EQ(counts.disconnections, step.disconnections) << step.what;
        EXPECT_EQ(counts.connected(), step.connections > step.disconnections) << step.what;
    }
    EXPECT_EQ(news, 4);
}

TEST_F(ClientLedgerTest, KeepsLibmosquittosLastErrorLine)
{
    ledger.library_error("OpenSSL Error[0]: certificate verify failed");
    ledger.library_error("Error: Connection refused");
    EXPECT_EQ(ledger.last_library_error(), "Error: Connection refused");
}

} // namespace
