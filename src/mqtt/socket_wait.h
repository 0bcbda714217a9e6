/*
 * Waiting for the client's socket, or for the worker's wake-up.
 */
#ifndef TAVRIX_MQTT_SOCKET_WAIT_H
#define TAVRIX_MQTT_SOCKET_WAIT_H

#include <chrono>

struct SocketReadiness {
    bool readable;
    bool writable;
    bool woken; // the wake-up descriptor was readable
};

/* Waits up to `timeout` for `socket` (-1: none) to become readable (or,
 * with `want_write`, writable) or for `wake_fd` (-1: none) to become
 * readable.
 * Returns like select: the number of ready conditions, 0 on time-out, -1
 * with errno on failure. */
int mq_wait_socket(int socket, bool want_write, int wake_fd, std::chrono::microseconds timeout,
    SocketReadiness &ready);

/* Whether `socket` is writable now, without waiting. */
bool mq_socket_writable(int socket);

#endif
