/*
 * The brokers of a run, one per link, each started when its first cell
 * needs it and kept to the end: the plain loopback broker, a broker of
 * mosquitto's default in-flight limit behind the fault proxy's delay, and
 * one with a TLS listener.
 */
#ifndef TAVRIX_BENCH_BROKERS_H
#define TAVRIX_BENCH_BROKERS_H

#include <memory>
#include <string>

#include "plan.h"

class Broker;
class FaultProxy;

/* Where a cell's publisher and its subscriber connect. */
struct Endpoint {
    Broker *broker = nullptr;
    /* The publisher's port: the broker's, the proxy's, or the TLS listener. */
    int port = 0;
    /* A plain listener of the same broker, on loopback. */
    int subscriber_port = 0;
    /* The CA the publisher trusts; empty without TLS. */
    std::string ca_file;
};

class BenchBrokers
{
public:
    explicit BenchBrokers(std::string workdir);
    ~BenchBrokers();

    BenchBrokers(const BenchBrokers &) = delete;
    BenchBrokers &operator=(const BenchBrokers &) = delete;

    /* Throws std::runtime_error when the broker (or the proxy) does not
     * come up. */
    Endpoint endpoint(Link link);

private:
    Broker &loopback_broker();
    Endpoint wan_endpoint();
    Endpoint tls_endpoint();

    std::string workdir;
    std::unique_ptr<Broker> loopback;
    std::unique_ptr<Broker> wan;
    std::unique_ptr<FaultProxy> proxy;
    std::unique_ptr<Broker> tls;
};

#endif
