/*
 * A name lookup that answers late: a DNS server that is slow, or a first
 * one that does not answer before the resolver asks the next.
 */
#include <gmock/gmock.h>

#include "plugin_test.h"
#include "socket_shims.h"

// Longer than the attempt's 10 s limit for the CONNACK, which counts from
// the end of the lookup; shorter than libmosquitto's 15 s keep-alive,
// which counts from its start.
TEST_F(PluginTest, LookupThatTakesTwelveSecondsConnectsAtTheFirstAttempt)
{
    Broker &broker = start_broker();
    const std::string name = "late-dns.tavrix.test";
    shim_slow_lookup(name, std::chrono::seconds(12));
    nlohmann::json config = config_for(broker, "tavrix/${channel}");
    config["host"] = name;
    start_plugin(config);

    bool connected = wait_until([&] { return accounted().connected; }, std::chrono::seconds(20));
    shim_slow_lookup("", std::chrono::milliseconds(0));
    EXPECT_TRUE(connected);
    EXPECT_EQ(log.count(std::string(TAG) + ": MQ connect: "), 0u) << "no attempt given up";
}
