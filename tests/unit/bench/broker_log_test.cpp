#include <gtest/gtest.h>

#include "bench.h"

namespace {

// As mosquitto 2.0 writes them, with its time stamps.
const char *LOG =
    "1796822415: New client connected from 127.0.0.1:40110 as sub-c007 (p2, c1, k60).\n"
    "1796822415: New client connected from 127.0.0.1:40112 as c007 (p2, c1, k15).\n"
    "1796822416: New client connected from 127.0.0.1:40114 as c0070 (p2, c1, k15).\n"
    "1796822417: Bad socket read/write on client c0070: Unknown error.\n"
    "1796822418: Bad socket read/write on client c007: Unknown error.\n"
    "1796822419: New client connected from 127.0.0.1:40116 as c007 (p2, c1, k15).\n"
    "1796822420: Client c007 already connected, closing old connection.\n"
    "1796822421: New client connected from 127.0.0.1:40118 as c007 (p2, c1, k15).\n"
    "1796822422: Client c007 disconnected.\n"
    "1796822422: Client sub-c007 disconnected due to protocol error.\n";

TEST(BrokerLog, CountsTheDropsOfThatClientOnlyNotItsOwnDisconnects)
{
    ConnectionHistory history = connection_history(LOG, "c007");
    EXPECT_EQ(history.connections, 3u) << "not sub-c007's nor c0070's";
    EXPECT_EQ(history.reconnects(), 2u);
    EXPECT_EQ(history.drops, 2u) << "a socket error and a take-over, not its DISCONNECT";

    ConnectionHistory other = connection_history(LOG, "c0070");
    EXPECT_EQ(other.connections, 1u);
    EXPECT_EQ(other.drops, 1u);
    EXPECT_EQ(connection_history(LOG, "sub-c007").drops, 1u);
    EXPECT_EQ(connection_history("", "c007").reconnects(), 0u);
}

} // namespace
