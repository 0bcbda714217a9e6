/*
 * agThread: a host thread object whose body is the virtual Entry.
 */
#ifndef TAVRIX_HOST_AG_THREAD_H
#define TAVRIX_HOST_AG_THREAD_H

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

#include "ag_api.h"

class AG_API agThread
{
public:
    agThread();
    virtual ~agThread();

    agThread(const agThread &) = delete;
    agThread &operator=(const agThread &) = delete;

    /* Starts the thread, which runs Entry once with every signal blocked,
     * so that the host's signal handling stays on the host's threads.
     * Returns false if it was started before. */
    virtual bool Create();

    /* The thread body. */
    virtual void *Entry() = 0;

    /* Asks Entry to end: stores true in the terminate flag. */
    virtual void Terminate();

    /* Waits for the thread's end; returns at once if it never started. */
    void Join();

    void Lock();
    void Unlock();

#ifdef TAVRIX_HOST_SIDE
    /* Host side: after Join, whether Entry ended with an exception, and
     * its message. The message was also logged through ag_printf. */
    bool HasFailed() const { return failed; }
    const std::string &GetFailure() const { return failure; }
#endif

protected:
    std::atomic<bool> terminate;

private:
    void Run();

    std::thread thread;
    std::mutex join_lock;
    std::mutex lock;
    bool started = false;
    bool failed = false;
    std::string failure;
};

#endif
