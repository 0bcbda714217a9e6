/*
 * Whether the worker's wait asks for the client's socket to be writable.
 *
 * libmosquitto's want-write is not always something it can write. Under
 * TLS it is also a flag that SSL_connect and SSL_read set when OpenSSL
 * wanted to write, and that only the library's next write of a packet
 * clears: through a handshake that waits for the broker, and on a
 * connection with nothing queued, it stays set while nothing can be
 * written. Asked for, a writable socket would end every wait at once and
 * the write step would write nothing: the worker would spin, and take no
 * payload. So a want that a write step left standing on a socket still
 * writable is stale: no write interest until the socket has been read, or
 * a later write step (what the worker hands over is written before its
 * wait) leaves a real one, and a stale want holds no payload back. A real
 * want, a packet (a CONNECT, a TLS flight) larger than the socket took,
 * leaves the socket full: the interest stays for as many passes as the
 * packet takes. Until the socket of an attempt has been writable its TCP
 * connect is under way: interest, whatever the library says.
 */
#ifndef TAVRIX_MQTT_WRITE_INTEREST_H
#define TAVRIX_MQTT_WRITE_INTEREST_H

class WriteInterest
{
public:
    /* A new attempt's socket, whose connect is under way. */
    void Attempt() { *this = WriteInterest(); }

    /* Whether the wait asks for writability, the library wanting to write
     * or not, during an attempt or on an accepted connection. */
    bool Wanted(bool library_wants, bool attempt) const
    {
        return (attempt && !opened) || Pending(library_wants);
    }
    /* Whether the library holds something it could write now. */
    bool Pending(bool library_wants) const { return library_wants && !stale; }
    /* A want the last write step could not act on: the write step is to
     * run before the wait, for what the pass has handed over since. */
    bool Stale(bool library_wants) const { return library_wants && stale; }
    /* The socket has been ready: its connect is done (or failed). */
    bool Opened() const { return opened; }

    /* What the wait found. */
    void Waited(bool readable, bool writable);
    /* After a write step: whether the library still wants to write, and
     * whether the socket is still writable. */
    void Wrote(bool library_wants, bool socket_writable);

private:
    bool opened = false;
    bool stale = false;
};

#endif
