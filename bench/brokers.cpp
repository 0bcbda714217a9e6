#include "brokers.h"

#include <chrono>

#include <broker.h>
#include <fault_proxy.h>
#include <tls_material.h>

namespace {

// No queue or in-flight limits: a slow subscriber must not turn into
// losses that would be blamed on a publisher. Connections and problems
// only in the log, which is kept when a run fails and tells of dropped
// publishers.
BrokerOptions plain_options(const std::string &dir)
{
    BrokerOptions options;
    options.log_packets = false;
    options.extra_lines = {"max_queued_messages 0", "max_inflight_messages 0"};
    options.dir = dir;
    return options;
}

// mosquitto's own in-flight limit (20), which drops a publisher with more
// QoS 2 messages in flight: what the plug-in meets in the field. The queue
// towards the subscriber stays unbounded, or a burst could be dropped on
// the subscriber's side.
BrokerOptions default_inflight_options(const std::string &dir)
{
    BrokerOptions options;
    options.log_packets = false;
    options.extra_lines = {"max_queued_messages 0"};
    options.dir = dir;
    return options;
}

Endpoint endpoint_of(Broker &broker)
{
    return {&broker, broker.port(), broker.subscriber_port(), ""};
}

} // namespace

BenchBrokers::BenchBrokers(std::string workdir_) : workdir(std::move(workdir_)) {}

// The proxy goes before its broker.
BenchBrokers::~BenchBrokers()
{
    proxy.reset();
}

Endpoint BenchBrokers::endpoint(Link link)
{
    switch (link) {
    case Link::WAN:
        return wan_endpoint();
    case Link::TLS:
        return tls_endpoint();
    case Link::LOOPBACK:
        break;
    }
    return endpoint_of(loopback_broker());
}

Broker &BenchBrokers::loopback_broker()
{
    if (!loopback) {
        loopback = std::make_unique<Broker>(plain_options(workdir + "/broker"));
    }
    return *loopback;
}

Endpoint BenchBrokers::wan_endpoint()
{
    if (!wan) {
        wan = std::make_unique<Broker>(default_inflight_options(workdir + "/broker-wan"));
    }
    if (!proxy) {
        proxy = std::make_unique<FaultProxy>(wan->port());
        const std::chrono::milliseconds one_way(WAN_ONE_WAY_MS);
        proxy->set_delay(one_way, one_way);
    }
    Endpoint endpoint = endpoint_of(*wan);
    endpoint.port = proxy->port();
    return endpoint;
}

Endpoint BenchBrokers::tls_endpoint()
{
    const TlsMaterial &material = TlsMaterial::get();
    if (!tls) {
        BrokerOptions options = plain_options(workdir + "/broker-tls");
        options.tls = BrokerTls{material.ca_file(), material.server_cert(), material.server_key()};
        tls = std::make_unique<Broker>(options);
    }
    Endpoint endpoint = endpoint_of(*tls);
    endpoint.ca_file = material.ca_file();
    return endpoint;
}
