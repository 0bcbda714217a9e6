/*
 * The fault proxy between a client and a real broker: what it forwards,
 * and each fault it plays. The client speaks raw MQTT on a plain socket,
 * so that every byte, and every wait, is the test's own.
 */
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "broker.h"
#include "fault_proxy.h"
#include "subscriber.h"
#include "wait.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr auto ANSWER_LIMIT = 3s;
// How long a fault must hold for the test to believe it holds.
constexpr auto QUIET_SPELL = 300ms;

std::string packet(unsigned char type, const std::string &body)
{
    std::string bytes(1, static_cast<char>(type));
    std::size_t length = body.size();
    do {
        unsigned char digit = length & 0x7f;
        length >>= 7;
        bytes.push_back(static_cast<char>(length > 0 ? digit | 0x80 : digit));
    } while (length > 0);
    return bytes + body;
}

// Packet ids and string lengths: two bytes, the high one first.
std::string two_bytes(std::size_t value)
{
    return std::string{static_cast<char>(value >> 8), static_cast<char>(value & 0xff)};
}

std::string utf8(const std::string &text)
{
    return two_bytes(text.size()) + text;
}

std::string connect_packet(const std::string &client_id)
{
    // MQTT 3.1.1, a clean session, a keep-alive of 60 s.
    return packet(0x10, utf8("MQTT") + std::string{4, 2, 0, 60} + utf8(client_id));
}

std::string publish_qos1(const std::string &topic, const std::string &payload, uint16_t id)
{
    return packet(0x32, utf8(topic) + two_bytes(id) + payload);
}

std::string puback(uint16_t id)
{
    return std::string{0x40, 2} + two_bytes(id);
}

const std::string CONNACK{0x20, 2, 0, 0};
const std::string PINGREQ{static_cast<char>(0xc0), 0};
const std::string PINGRESP{static_cast<char>(0xd0), 0};

/* A client's socket, connected on construction unless `pending`: then
 * whether the connect completes is asked later. Connects and sends give
 * up after a while, so that a proxy that hangs fails the test, not its
 * time limit. */
class Client
{
public:
    explicit Client(uint16_t port, bool pending = false) : fd(connect_loopback(port))
    {
        int error = fd == -1 ? errno : pending ? 0 : connect_outcome(fd, ANSWER_LIMIT);
        // Connected, and reset already: as when the proxy finds no broker.
        ended = error == ECONNRESET;
        if (error != 0 && !ended) {
            throw std::runtime_error(
                "connect to port " + std::to_string(port) + ": " + std::strerror(error));
        }
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        timeval send_limit{5, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &send_limit, sizeof send_limit);
    }
    ~Client() { close(fd); }
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    bool completes_within(std::chrono::milliseconds limit)
    {
        return connect_outcome(fd, limit) == 0;
    }

    int socket_fd() const { return fd; }

    bool send_all(const std::string &bytes)
    {
        for (std::size_t done = 0; done < bytes.size();) {
            ssize_t sent = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) {
                return false;
            }
            done += static_cast<std::size_t>(sent);
        }
        return true;
    }

    /* Up to `count` bytes; fewer when the connection ends or `limit` passes. */
    std::string read(std::size_t count, std::chrono::milliseconds limit)
    {
        std::string got;
        char chunk[65536];
        auto deadline = Clock::now() + limit;
        while (got.size() < count && !ended) {
            auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                break;
            }
            ssize_t n = read_within(fd, chunk, std::min(sizeof chunk, count - got.size()), left);
            if (n < 0 && errno == ETIMEDOUT) {
                break;
            }
            if (n <= 0) {
                ended = true;
            } else {
                got.append(chunk, static_cast<std::size_t>(n));
            }
        }
        return got;
    }

    /* Whether the other side ends the connection (FIN or RST) within `limit`. */
    bool ends_within(std::chrono::milliseconds limit)
    {
        read(SIZE_MAX, limit);
        return ended;
    }

    /* Connects as `id` and takes the broker's CONNACK. */
    bool mqtt_connect(const std::string &id)
    {
        return send_all(connect_packet(id)) && read(CONNACK.size(), ANSWER_LIMIT) == CONNACK;
    }

    /* One PINGREQ answered: the time it took, or -1 ms. */
    std::chrono::duration<double, std::milli> ping()
    {
        auto start = Clock::now();
        if (!send_all(PINGREQ) || read(PINGRESP.size(), ANSWER_LIMIT) != PINGRESP) {
            return std::chrono::milliseconds(-1);
        }
        return Clock::now() - start;
    }

private:
    int fd;
    bool ended = false;
};

// A real broker behind the proxy: a quiet one, that logs no packets, for
// the cases that send many.
template <bool QUIET> struct Proxied : ::testing::Test {
    Broker broker{QUIET ? quiet_broker() : BrokerOptions{}};
    FaultProxy proxy{broker.port()};
};
using FaultProxyTest = Proxied<false>;
using QuietFaultProxyTest = Proxied<true>;

} // namespace

TEST_F(FaultProxyTest, ForwardsBothWaysToARealBroker)
{
    Subscriber subscriber(broker.subscriber_port(), "proxy/#");
    {
        Client client(proxy.port());
        ASSERT_TRUE(client.mqtt_connect("through-proxy"));
        ASSERT_TRUE(client.send_all(publish_qos1("proxy/forward", "hello", 7)));
        EXPECT_EQ(client.read(4, ANSWER_LIMIT), puback(7));
        ASSERT_TRUE(subscriber.wait_for_topic("proxy/forward", 5s));
        EXPECT_EQ(subscriber.messages().front().payload, "hello");
        EXPECT_EQ(proxy.accepted(), 1u);
        EXPECT_EQ(proxy.open(), 1u);
    }
    // The client's FIN goes on to the broker, which closes its side too.
    EXPECT_TRUE(broker.wait_for_log("Client through-proxy closed its connection", 1, 5s))
        << broker.log();
    EXPECT_TRUE(wait_until([&] { return proxy.open() == 0; }));
}

TEST_F(QuietFaultProxyTest, DelayAddsToTheRoundTripButDoesNotCapTheRate)
{
    constexpr uint16_t MESSAGES = 20000;
    Client client(proxy.port());
    ASSERT_TRUE(client.mqtt_connect("delayed"));
    auto direct = client.ping();
    ASSERT_GE(direct.count(), 0);

    proxy.set_delay(25ms, 25ms);
    auto delayed = client.ping();
    EXPECT_GE(delayed.count(), 50.0);
    EXPECT_LT(delayed.count(), direct.count() + 50.0 + 100.0);

    const std::string payload(200, 'p');
    auto start = Clock::now();
    std::thread writer([&] {
        std::string burst;
        for (uint16_t id = 1; id <= MESSAGES; ++id) {
            burst += publish_qos1("proxy/bulk", payload, id);
        }
        client.send_all(burst);
    });
    std::string acks = client.read(4u * MESSAGES, 8s);
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    // Ends a writer the proxy left stuck, so that the test still ends.
    shutdown(client.socket_fd(), SHUT_RDWR);
    writer.join();
    ASSERT_EQ(acks.size(), 4u * MESSAGES);
    for (uint16_t id = 1; id <= MESSAGES; ++id) {
        ASSERT_EQ(acks.substr(4u * (id - 1), 4), puback(id)) << "out of order at " << id;
    }
    double rate = MESSAGES / seconds;
    std::printf("[          ] %.0f messages/s through 25 ms each way; round trip %.1f ms, "
                "%.2f ms without delay\n",
        rate, delayed.count(), direct.count());
    EXPECT_GT(rate, 10000.0);
}

TEST_F(FaultProxyTest, BlackHoleAcceptsButNeverAnswers)
{
    Client before(proxy.port());
    ASSERT_TRUE(before.mqtt_connect("before-hole"));

    proxy.black_hole(true);
    {
        Client swallowed(proxy.port());
        ASSERT_TRUE(swallowed.send_all(connect_packet("in-hole")));
        EXPECT_EQ(swallowed.read(1, QUIET_SPELL), "");
        EXPECT_FALSE(swallowed.ends_within(0ms));
        EXPECT_EQ(proxy.accepted(), 2u);
        EXPECT_GT(before.ping().count(), 0) << "a connection from before was touched";
    }
    EXPECT_EQ(broker.log_count("New client connected"), 1u) << broker.log();
    EXPECT_TRUE(wait_until([&] { return proxy.open() == 1; })) << "the hole kept a closed client";

    proxy.black_hole(false);
    Client after(proxy.port());
    EXPECT_TRUE(after.mqtt_connect("after-hole"));
}

TEST_F(FaultProxyTest, SilentPortLeavesConnectsHangingUntilTurnedOff)
{
    // Twice: the second round catches what the first left behind.
    for (std::size_t round = 1; round <= 2; ++round) {
        proxy.silent(true);
        {
            // Given up before the silence ends, or its next SYN might
            // get in and be counted.
            Client hanging(proxy.port(), true);
            EXPECT_FALSE(hanging.completes_within(1s)) << "round " << round;
        }
        proxy.silent(false);
        Client later(proxy.port());
        EXPECT_TRUE(later.mqtt_connect("after-silence-" + std::to_string(round)));
        // The proxy's own fillers are no clients.
        EXPECT_EQ(proxy.accepted(), round);
    }
}

TEST_F(FaultProxyTest, CutResetsEveryConnectionAndNewOnesWork)
{
    Client first(proxy.port());
    Client second(proxy.port());
    ASSERT_TRUE(first.mqtt_connect("first"));
    ASSERT_TRUE(second.mqtt_connect("second"));

    proxy.cut();
    EXPECT_EQ(proxy.open(), 0u);
    EXPECT_TRUE(first.ends_within(1s));
    EXPECT_TRUE(second.ends_within(1s));
    // The broker's side goes too.
    EXPECT_TRUE(broker.wait_for_log("Client first closed its connection", 1, 5s));
    EXPECT_TRUE(broker.wait_for_log("Client second closed its connection", 1, 5s));

    Client again(proxy.port());
    EXPECT_TRUE(again.mqtt_connect("again"));
}

TEST_F(QuietFaultProxyTest, StallToUpstreamHoldsTheSenderBackAndLosesNothing)
{
    constexpr std::size_t MAX_BYTES = 48u << 20;
    Client client(proxy.port());
    ASSERT_TRUE(client.mqtt_connect("stalled-up"));
    proxy.stall(FaultProxy::Direction::TO_UPSTREAM, true);

    const std::string payload(1000, 's');
    const std::size_t packet_size = publish_qos1("proxy/stall", payload, 1).size();
    std::string stream;
    for (uint16_t id = 1; stream.size() < MAX_BYTES && id < 65535; ++id) {
        stream += publish_qos1("proxy/stall", payload, id);
    }
    std::size_t sent = 0;
    while (sent < stream.size()) {
        ssize_t n = send(client.socket_fd(), stream.data() + sent, stream.size() - sent,
            MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        sent += static_cast<std::size_t>(n);
    }
    ASSERT_LT(sent, stream.size()) << "nothing held the sender back";
    EXPECT_EQ(client.read(1, QUIET_SPELL), "") << "the broker got something";

    proxy.stall(FaultProxy::Direction::TO_UPSTREAM, false);
    std::size_t messages = (sent + packet_size - 1) / packet_size;
    ASSERT_TRUE(client.send_all(stream.substr(sent, messages * packet_size - sent)));
    std::string acks = client.read(4 * messages, 8s);
    ASSERT_EQ(acks.size(), 4 * messages);
    for (std::size_t id = 1; id <= messages; ++id) {
        ASSERT_EQ(acks.substr(4 * (id - 1), 4), puback(static_cast<uint16_t>(id)))
            << "lost or out of order at " << id;
    }
}

TEST_F(FaultProxyTest, StallToClientHoldsAnswersUntilResumed)
{
    Client client(proxy.port());
    ASSERT_TRUE(client.mqtt_connect("stalled-down"));

    proxy.stall(FaultProxy::Direction::TO_CLIENT, true);
    ASSERT_TRUE(client.send_all(PINGREQ + PINGREQ + PINGREQ));
    EXPECT_TRUE(broker.wait_for_log("Received PINGREQ from stalled-down", 3, 5s)) << broker.log();
    EXPECT_EQ(client.read(1, QUIET_SPELL), "");

    proxy.stall(FaultProxy::Direction::TO_CLIENT, false);
    EXPECT_EQ(client.read(3 * PINGRESP.size(), ANSWER_LIMIT), PINGRESP + PINGRESP + PINGRESP);
}

TEST_F(FaultProxyTest, OutlivesTheBrokerGoingDownAndComingBack)
{
    {
        Client client(proxy.port());
        ASSERT_TRUE(client.mqtt_connect("outlives"));
        broker.stop();
        EXPECT_TRUE(client.ends_within(ANSWER_LIMIT));
    }
    {
        // Refused behind the proxy: the client's connect succeeds, then ends.
        Client refused(proxy.port());
        EXPECT_TRUE(refused.ends_within(1s));
    }
    EXPECT_TRUE(wait_until([&] { return proxy.open() == 0; }));

    broker.start();
    Client again(proxy.port());
    EXPECT_TRUE(again.mqtt_connect("outlives-again"));
}
