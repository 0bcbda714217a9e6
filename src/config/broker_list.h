/*
 * The brokers `host` names: one, or several separated by commas, each
 * "name[:port]", so that a site with a pair of brokers, or a fallback,
 * lists them all. An IPv6 address takes brackets when it has a port
 * ("[::1]:1883"); an entry with more than one colon and no brackets is an
 * IPv6 address without one, so a single name, IPv4 or IPv6 address reads
 * as it always has. Shared with the hosts that check a file before
 * handing it over, so that both read a list alike.
 */
#ifndef TAVRIX_CONFIG_BROKER_LIST_H
#define TAVRIX_CONFIG_BROKER_LIST_H

#include <cstdint>
#include <string>
#include <vector>

struct BrokerEntry {
    std::string host;
    uint16_t port;

    /* "host:port", "[v6 address]:port": how log lines and figures name it. */
    std::string Address() const;
    bool operator==(const BrokerEntry &other) const;
};

/* Where a list without a usable entry connects: the default of `host`. */
constexpr const char *DEFAULT_BROKER_HOST = "localhost";

/* The entries of `hosts`, each without a port taking `port`. An entry
 * that is empty or whose port is not a number from 1 to 65535 is skipped
 * with one line in `problems`; a list left without any is
 * DEFAULT_BROKER_HOST on `port`, with one more line. */
std::vector<BrokerEntry> config_broker_list(const std::string &hosts, uint16_t port,
    std::vector<std::string> &problems);

#endif
