/*
 * Waiting for the client's socket.
 */
#ifndef TAVRIX_MQTT_SOCKET_WAIT_H
#define TAVRIX_MQTT_SOCKET_WAIT_H

struct mq_readiness {
    bool readable;
    bool writable;
};

/* Waits up to one second for `socket` to become readable (or, with
 * `want_write`, writable). Returns like select: the number of ready
 * conditions, 0 on time-out, -1 with errno on failure. */
int mq_wait_socket(int socket, bool want_write, mq_readiness &ready);

#endif
