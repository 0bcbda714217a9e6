/*
 * Waking the worker out of its wait on the client's socket.
 *
 * A self-pipe: its read end stands in the worker's wait beside the socket,
 * and a byte written to it ends the wait. A payload wakes the worker only
 * while the worker has armed the wake-up (it is about to wait and would
 * take a payload), so a busy worker costs the host's threads no system
 * call per payload. A stop or a reload request wakes it whatever it does.
 */
#ifndef TAVRIX_MQTT_WAKEUP_H
#define TAVRIX_MQTT_WAKEUP_H

#include <atomic>

class WorkerWakeup
{
public:
    /* Without a pipe (the process is out of descriptors) nothing wakes the
     * worker: its waits end at their time-out, as if never woken. */
    WorkerWakeup();
    ~WorkerWakeup();

    WorkerWakeup(const WorkerWakeup &) = delete;
    WorkerWakeup &operator=(const WorkerWakeup &) = delete;

    /* The read end to wait on, -1 without a pipe. */
    int Fd() const { return ends[0]; }
    /* Whether the pipe was made. */
    bool Usable() const { return ends[0] != -1; }

    /* Worker side: a payload should end the coming wait. Arm before the
     * last look at the queue, so that a payload queued after that look
     * finds the wake-up armed. */
    void Arm() { armed.store(true); }
    void Disarm() { armed.store(false); }
    /* Worker side: empties the pipe after a wake-up. */
    void Clear();

    /* Host side, after queueing a payload: wakes the worker when armed. */
    void WakeIfArmed();
    /* Host side: wakes the worker now or ends its next wait at once. */
    void Wake();

private:
    int ends[2] = {-1, -1};
    std::atomic<bool> armed{false};
};

#endif
