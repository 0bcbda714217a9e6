#include <gtest/gtest.h>

#include "broker_log.h"

namespace {

// As mosquitto 2.0 writes them, with its time stamps.
const char *LOG =
    "1796822415: New client connected from 127.0.0.1:40110 as sub-c007 (p2, c1, k60).\n"
    "1796822415: New client connected from 127.0.0.1:40112 as c007 (p2, c1, k15).\n"
    "1796822416: New client connected from 127.0.0.1:40114 as c0070 (p2, c1, k15).\n"
    "1796822417: Client c0070 closed its connection.\n"
    "1796822417: Bad socket read/write on client c0070: Unknown error.\n"
    "1796822418: Bad socket read/write on client c007: Unknown error.\n"
    "1796822419: New client connected from 127.0.0.1:40116 as c007 (p2, c1, k15).\n"
    "1796822420: Client c007 has exceeded timeout, disconnecting.\n"
    "1796822421: New client connected from 127.0.0.1:40118 as c007 (p2, c1, k15).\n"
    "1796822422: Client sub-c007 disconnected due to protocol error.\n";

TEST(BrokerLog, CountsConnectionsAndDropsOfThatClientOnly)
{
    ConnectionHistory history = connection_history(LOG, "c007");
    EXPECT_EQ(history.connections, 3u) << "not sub-c007's nor c0070's";
    EXPECT_EQ(history.Reconnects(), 2u);
    EXPECT_EQ(history.drops, 2u) << "a socket error and a keep-alive time-out";

    ConnectionHistory other = connection_history(LOG, "c0070");
    EXPECT_EQ(other.connections, 1u);
    EXPECT_EQ(other.drops, 2u);
    EXPECT_EQ(connection_history(LOG, "sub-c007").drops, 1u);
}

TEST(BrokerLog, AClientsOwnDisconnectIsNoDrop)
{
    const std::string log = "1: New client connected from 127.0.0.1:1 as raw-c001 (p2, c1, k15).\n"
                            "2: Client raw-c001 disconnected.\n"
                            "3: New client connected from 127.0.0.1:2 as raw-c001 (p2, c1, k15).\n"
                            "4: Client raw-c001 already connected, closing old connection.\n"
                            "5: New client connected from 127.0.0.1:3 as raw-c001 (p2, c1, k15).\n";
    ConnectionHistory history = connection_history(log, "raw-c001");
    EXPECT_EQ(history.connections, 3u);
    EXPECT_EQ(history.drops, 1u) << "the one taken over; the one ended by its DISCONNECT is none";
    EXPECT_EQ(connection_history("", "raw-c001").Reconnects(), 0u);
}

} // namespace
