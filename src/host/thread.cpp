#include "host/ag_thread.h"

#include <csignal>
#include <exception>

#include <pthread.h>

#include "host/ag_log.h"

agThread::agThread() : terminate(false) {}

agThread::~agThread()
{
    // A derived class joins in its own destructor, while Entry can still
    // run; this is the last resort for one that did not.
    Join();
}

bool agThread::Create()
{
    std::lock_guard<std::mutex> guard(join_lock);
    if (started) {
        return false;
    }
    // The new thread inherits the creator's mask: block everything around
    // the start so that signals stay with the host's own threads.
    sigset_t all, previous;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &previous);
    try {
        thread = std::thread(&agThread::Run, this);
    } catch (...) {
        pthread_sigmask(SIG_SETMASK, &previous, nullptr);
        throw;
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    started = true;
    return true;
}

void agThread::Run()
{
    try {
        Entry();
        return;
    } catch (const std::exception &e) {
        failure = e.what();
    } catch (...) {
        failure = "unknown exception";
    }
    failed = true;
    ag_printf("%s", failure.c_str());
}

void agThread::Terminate()
{
    terminate.store(true);
}

void agThread::Join()
{
    std::lock_guard<std::mutex> guard(join_lock);
    if (thread.joinable()) {
        thread.join();
    }
}

void agThread::Lock()
{
    lock.lock();
}

void agThread::Unlock()
{
    lock.unlock();
}
