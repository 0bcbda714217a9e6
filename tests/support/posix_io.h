/*
 * The few system calls the toolkit and the raw-socket tests would
 * otherwise each wrap again: TCP on 127.0.0.1 with connects that do not
 * block, reads with a deadline, errno in messages.
 */
#ifndef TAVRIX_TESTS_SUPPORT_POSIX_IO_H
#define TAVRIX_TESTS_SUPPORT_POSIX_IO_H

#include <chrono>
#include <cstdint>
#include <string>

#include <sys/types.h>

/* `what`, a colon and the text of errno. */
std::string errno_text(const std::string &what);

/* A non-blocking TCP socket bound to 127.0.0.1 at a port the kernel
 * picks; -1, errno set, when there is none. */
int bind_loopback();
/* A non-blocking TCP socket whose connect to 127.0.0.1:`port` has started
 * (or is done); -1, errno set, when it could not start. */
int connect_loopback(uint16_t port);
/* 0 once the connect on `fd` is done, ETIMEDOUT while it is still under
 * way after `limit`, else its error. */
int connect_outcome(int fd, std::chrono::milliseconds limit);
uint16_t local_port(int fd);

/* A loopback port that nothing listens on at the moment of the call. */
uint16_t free_loopback_port();

/* Writes all of `data` unless the descriptor fails; false then. */
bool write_all(int fd, const char *data, std::size_t length);

/* What read() returns once `fd` is readable within `limit`; -1 with errno
 * ETIMEDOUT when it is not. */
ssize_t read_within(int fd, char *buffer, std::size_t size, std::chrono::milliseconds limit);

#endif
