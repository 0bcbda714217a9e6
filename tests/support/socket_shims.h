/*
 * Two conditions of a real network that loopback never shows, played by
 * interposing the C library's calls in the test program (and so in the
 * plug-in and libmosquitto it hosts): a name lookup that answers late,
 * and a socket that takes less than a large packet at once. Calls are
 * passed on unchanged while neither is set. Only a program that calls
 * these functions links the interposers.
 */
#ifndef TAVRIX_TESTS_SUPPORT_SOCKET_SHIMS_H
#define TAVRIX_TESTS_SUPPORT_SOCKET_SHIMS_H

#include <chrono>
#include <string>

/* getaddrinfo of `name` waits `delay`, then answers as for 127.0.0.1;
 * an empty name ends it. */
void shim_slow_lookup(const std::string &name, std::chrono::milliseconds delay);

/* Every TCP socket connected from now on gets SO_SNDBUF `bytes` first, so
 * that one write takes no more than about that; 0 ends it. */
void shim_send_buffer(int bytes);

#endif
