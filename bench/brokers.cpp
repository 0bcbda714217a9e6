#include "bench.h"

#include <chrono>

#include <broker.h>
#include <fault_proxy.h>
#include <tls_material.h>

namespace {

// No queue or in-flight limits: a slow subscriber must not turn into
// losses that would be blamed on a publisher. But the WAN link's broker
// keeps mosquitto's own in-flight limit (20), which drops a publisher with
// more QoS 2 messages in flight: what the plug-in meets in the field; its
// queue towards the subscriber stays unbounded all the same, or a burst
// could be dropped on the subscriber's side. Connections and problems only
// in the log, which is kept when a run fails and tells of dropped
// publishers.
BrokerOptions options_of(Link link, const std::string &workdir)
{
    BrokerOptions options;
    options.log_packets = false;
    options.extra_lines = {"max_queued_messages 0"};
    if (link != Link::WAN && link != Link::STEP) {
        options.extra_lines.push_back("max_inflight_messages 0");
    }
    const std::string suffix = link == Link::LOOPBACK ? "" : "-" + std::string(link_name(link));
    // The STEP link shares the WAN link's broker.
    options.dir = workdir + "/broker" + suffix;
    if (link == Link::TLS) {
        const TlsMaterial &material = TlsMaterial::get();
        options.tls = BrokerTls{material.ca_file(), material.server_cert(), material.server_key()};
    }
    return options;
}

} // namespace

BenchBrokers::BenchBrokers(std::string workdir_) : workdir(std::move(workdir_)) {}

// The proxies go before their broker.
BenchBrokers::~BenchBrokers()
{
    proxy.reset();
    step_proxy.reset();
}

Endpoint BenchBrokers::endpoint(Link link)
{
    const bool delayed = link == Link::WAN || link == Link::STEP;
    std::unique_ptr<Broker> &broker = delayed ? wan : link == Link::TLS ? tls : loopback;
    if (!broker) {
        broker = std::make_unique<Broker>(options_of(delayed ? Link::WAN : link, workdir));
    }
    Endpoint endpoint{broker.get(), broker->port(), broker->subscriber_port(), ""};
    if (link == Link::WAN) {
        if (!proxy) {
            proxy = std::make_unique<FaultProxy>(wan->port());
            const std::chrono::milliseconds one_way(WAN_ONE_WAY_MS);
            proxy->set_delay(one_way, one_way);
        }
        endpoint.port = proxy->port();
    }
    if (link == Link::STEP) {
        if (!step_proxy) {
            step_proxy = std::make_unique<FaultProxy>(wan->port());
        }
        // Each cell starts on the short round trip.
        step_proxy->set_delay(std::chrono::milliseconds(STEP_UP_BEFORE_MS),
            std::chrono::milliseconds(STEP_DOWN_BEFORE_MS));
        endpoint.port = step_proxy->port();
        endpoint.step_proxy = step_proxy.get();
    }
    if (link == Link::TLS) {
        endpoint.ca_file = TlsMaterial::get().ca_file();
    }
    return endpoint;
}
