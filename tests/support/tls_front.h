/*
 * A TLS front on loopback, as a cloud broker's port behind ALPN is: it
 * completes each client's TLS handshake with the test material's server
 * certificate and passes the connection on, decrypted, to a plain
 * loopback port only when the client offered the required ALPN protocol.
 * Any other connection it closes once the handshake is done.
 *
 * A class of its own beside the fault proxy: terminating TLS changes how
 * every byte on the client's side is read and written (records, a
 * handshake, a read that needs a write), which the proxy's byte loop does
 * not carry. Faults behind the front come from a FaultProxy as its
 * upstream. One thread accepts; each connection gets a thread of its own
 * with blocking sockets, which the destructor unblocks by shutting them.
 */
#ifndef TAVRIX_TESTS_SUPPORT_TLS_FRONT_H
#define TAVRIX_TESTS_SUPPORT_TLS_FRONT_H

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

typedef struct ssl_st SSL;
typedef struct ssl_ctx_st SSL_CTX;

class TlsFront
{
public:
    /* Listens on 127.0.0.1 at a port the kernel picks; passes connections
     * that offered `protocol` on to 127.0.0.1:`upstream_port`. Throws
     * std::runtime_error. */
    TlsFront(uint16_t upstream_port, const std::string &protocol);
    ~TlsFront();

    TlsFront(const TlsFront &) = delete;
    TlsFront &operator=(const TlsFront &) = delete;

    uint16_t port() const { return listen_port; }

    /* Handshakes completed with the protocol, passed on; and without it,
     * closed. */
    std::size_t passed() const { return passed_count.load(); }
    std::size_t refused() const { return refused_count.load(); }

private:
    struct Connection;

    void accept_connections();
    void serve(Connection &connection);
    bool offered_protocol(SSL *ssl) const;
    bool open_upstream(Connection &connection);

    const uint16_t upstream_port;
    // The protocol as ALPN writes it: its length, then its name.
    const std::string wire_protocol;
    SSL_CTX *context = nullptr;
    uint16_t listen_port = 0;
    int listener = -1;
    int wake_read = -1;
    int wake_write = -1;

    std::mutex lock;
    bool stopping = false;
    std::vector<std::unique_ptr<Connection>> connections;

    std::atomic<std::size_t> passed_count{0};
    std::atomic<std::size_t> refused_count{0};
    std::thread acceptor;
};

#endif
