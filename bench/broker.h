/*
 * A private mosquitto on a free loopback port, with queues unbounded so
 * that the broker never drops what the publishers send.
 */
#ifndef TAVRIX_BENCH_BROKER_H
#define TAVRIX_BENCH_BROKER_H

#include <string>

#include "child_process.h"

class Broker
{
public:
    /* false (with `error` set) when no broker could be started. */
    bool Start(const std::string &workdir, std::string &error);
    /* Asks the broker to stop and waits for it. */
    void Stop();

    int Port() const { return port; }

private:
    bool StartOn(int candidate, const std::string &workdir, std::string &error);

    ChildProcess process;
    int port = 0;
};

#endif
