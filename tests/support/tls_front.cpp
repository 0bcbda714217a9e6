#include "tls_front.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <stdexcept>

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include "posix_io.h"
#include "tls_material.h"

namespace {

constexpr std::chrono::seconds UPSTREAM_CONNECT_LIMIT{5};
constexpr std::size_t READ_SIZE = 16u << 10;

std::string openssl_error(const std::string &what)
{
    char text[256];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    return "TLS front: " + what + ": " + text;
}

// Accepted and connected sockets come non-blocking (or inherit it, as on
// FreeBSD); a connection's thread waits in its calls instead.
void set_blocking(int fd)
{
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) & ~O_NONBLOCK);
}

// The server's choice among what the client offered: ours, or none
// (the handshake goes on without a protocol, and the front then closes).
int choose_protocol(SSL *, const unsigned char **out, unsigned char *out_length,
    const unsigned char *offered, unsigned int offered_length, void *wire_protocol)
{
    const std::string &ours = *static_cast<const std::string *>(wire_protocol);
    unsigned char *chosen = nullptr;
    if (SSL_select_next_proto(&chosen, out_length,
            reinterpret_cast<const unsigned char *>(ours.data()),
            static_cast<unsigned int>(ours.size()), offered,
            offered_length) != OPENSSL_NPN_NEGOTIATED) {
        return SSL_TLSEXT_ERR_NOACK;
    }
    *out = chosen;
    return SSL_TLSEXT_ERR_OK;
}

// Decrypted bytes each way until either side ends.
void relay(SSL *ssl, int client, int upstream)
{
    char buffer[READ_SIZE];
    for (;;) {
        pollfd sides[2] = {{client, POLLIN, 0}, {upstream, POLLIN, 0}};
        // Bytes OpenSSL has read and decrypted already make no socket
        // readable.
        bool pending = SSL_pending(ssl) > 0;
        if (!pending && poll(sides, 2, -1) < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (pending || sides[0].revents != 0) {
            int got = SSL_read(ssl, buffer, sizeof buffer);
            if (got <= 0 || !write_all(upstream, buffer, static_cast<std::size_t>(got))) {
                return;
            }
        }
        if (sides[1].revents != 0) {
            ssize_t got = recv(upstream, buffer, sizeof buffer, 0);
            if (got <= 0 || SSL_write(ssl, buffer, static_cast<int>(got)) <= 0) {
                return;
            }
        }
    }
}

} // namespace

struct TlsFront::Connection {
    int client = -1;
    int upstream = -1;
    std::thread thread;
};

TlsFront::TlsFront(uint16_t upstream, const std::string &protocol)
    : upstream_port(upstream), wire_protocol(static_cast<char>(protocol.size()) + protocol)
{
    if (protocol.empty() || protocol.size() > 255) {
        throw std::invalid_argument("TLS front: an ALPN protocol has 1 to 255 bytes");
    }
    const TlsMaterial &material = TlsMaterial::get();
    context = SSL_CTX_new(TLS_server_method());
    if (context == nullptr ||
        SSL_CTX_use_certificate_chain_file(context, material.server_cert().c_str()) != 1 ||
        SSL_CTX_use_PrivateKey_file(context, material.server_key().c_str(), SSL_FILETYPE_PEM) !=
            1) {
        std::string error = openssl_error("the server certificate");
        SSL_CTX_free(context);
        throw std::runtime_error(error);
    }
    SSL_CTX_set_alpn_select_cb(context, choose_protocol,
        const_cast<std::string *>(&wire_protocol));
    int ends[2];
    listener = bind_loopback();
    if (listener == -1 || listen(listener, SOMAXCONN) != 0 ||
        pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) {
        std::string error = errno_text("TLS front: listen");
        close(listener);
        SSL_CTX_free(context);
        throw std::runtime_error(error);
    }
    wake_read = ends[0];
    wake_write = ends[1];
    listen_port = local_port(listener);
    acceptor = std::thread(&TlsFront::accept_connections, this);
}

TlsFront::~TlsFront()
{
    {
        std::lock_guard<std::mutex> held(lock);
        stopping = true;
        for (auto &connection : connections) {
            shutdown(connection->client, SHUT_RDWR);
            shutdown(connection->upstream, SHUT_RDWR);
        }
    }
    (void)!write(wake_write, "x", 1);
    acceptor.join();
    for (auto &connection : connections) {
        connection->thread.join();
        close(connection->client);
        close(connection->upstream);
    }
    for (int fd : {listener, wake_read, wake_write}) {
        close(fd);
    }
    SSL_CTX_free(context);
}

void TlsFront::accept_connections()
{
    // A client gone while the front writes to it must end its connection
    // only, not the test: the write fails instead, and the connections'
    // threads inherit the mask.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    for (;;) {
        pollfd watched[2] = {{wake_read, POLLIN, 0}, {listener, POLLIN, 0}};
        poll(watched, 2, -1);
        std::lock_guard<std::mutex> held(lock);
        if (stopping) {
            return;
        }
        int client = accept(listener, nullptr, nullptr);
        if (client == -1) {
            continue;
        }
        set_blocking(client);
        connections.push_back(std::make_unique<Connection>());
        Connection &connection = *connections.back();
        connection.client = client;
        connection.thread = std::thread(&TlsFront::serve, this, std::ref(connection));
    }
}

// The sockets stay open until the destructor: a connection's end is a
// shutdown, so that no descriptor is closed while another thread may
// still shut it.
void TlsFront::serve(Connection &connection)
{
    SSL *ssl = SSL_new(context);
    if (ssl != nullptr && SSL_set_fd(ssl, connection.client) == 1 && SSL_accept(ssl) == 1) {
        if (!offered_protocol(ssl)) {
            refused_count.fetch_add(1);
            SSL_shutdown(ssl);
        } else if (open_upstream(connection)) {
            passed_count.fetch_add(1);
            relay(ssl, connection.client, connection.upstream);
        }
    }
    SSL_free(ssl);
    std::lock_guard<std::mutex> held(lock);
    shutdown(connection.client, SHUT_RDWR);
    shutdown(connection.upstream, SHUT_RDWR);
}

bool TlsFront::offered_protocol(SSL *ssl) const
{
    const unsigned char *chosen = nullptr;
    unsigned int length = 0;
    SSL_get0_alpn_selected(ssl, &chosen, &length);
    return length + 1 == wire_protocol.size() &&
        std::memcmp(chosen, wire_protocol.data() + 1, length) == 0;
}

bool TlsFront::open_upstream(Connection &connection)
{
    int upstream = connect_loopback(upstream_port);
    if (upstream != -1 && connect_outcome(upstream, UPSTREAM_CONNECT_LIMIT) != 0) {
        close(upstream);
        upstream = -1;
    }
    if (upstream != -1) {
        set_blocking(upstream);
    }
    std::lock_guard<std::mutex> held(lock);
    connection.upstream = upstream;
    if (stopping) {
        shutdown(upstream, SHUT_RDWR);
    }
    return upstream != -1 && !stopping;
}
