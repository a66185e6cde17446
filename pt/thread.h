// Thread base class on POSIX threads.
//
// A derived class supplies execute() (the body) and may supply cleanup(),
// which runs on the same thread right after it. An autofree thread is created
// detached and deletes its own object once cleanup() has returned; any other
// thread is joinable and is joined with waitfor() (derived classes that must
// not outlive their thread call waitfor() first in their destructor).
//
// A standard exception (or any other that is not the library's own) that
// escapes execute() or cleanup() ends the thread as if the function had
// returned: it is reported through the failure reporter, the epilogue runs
// (an autofree thread still deletes itself, `finished` is still set), and the
// process goes on. The library's own exception type keeps its old course.
//
// Thread safety: start, signal and the flag accessors may be called from any
// thread. The flags running, signalled, finished and joined each change once,
// from 0 to 1, and only through atomicExchange.
//
// Invariants: start creates at most one thread; signal posts signalSem at most
// once; nothing touches an autofree object after its epilogue has deleted it.
#pragma once

#include <pthread.h>

#include "pt/atomic.h"
#include "pt/timedsem.h"
#include "pt/unknown.h"

namespace pt {

class thread : public unknown {
public:
    explicit thread(bool autofree);
    // Detaches a started joinable thread that nobody joined.
    ~thread() override;
    thread(const thread&) = delete;
    thread& operator=(const thread&) = delete;

    // Creates the POSIX thread; only the first call does anything. Fatal
    // when the system cannot create the thread.
    void start();
    // The same, but false instead of the fatal exit when the thread cannot be
    // created: the object is then as if never started and may be deleted.
    bool tryStart();
    // Asks the thread to finish: posts signalSem on the first call only.
    void signal();
    // Joins the thread; returns at once when already joined or never started.
    // Fatal from the thread itself or on an autofree thread. Blocks until the
    // thread has ended.
    void waitfor();

    bool isRunning() const { return atomicRead(&running) != 0; }
    bool isSignalled() const { return atomicRead(&signalled) != 0; }
    bool isFinished() const { return atomicRead(&finished) != 0; }

protected:
    virtual void execute() = 0;
    virtual void cleanup() {}

    // For the thread's own body: waits on signalSem, true once signalled.
    // Blocks for at most `milliseconds` (without limit when negative).
    bool waitForSignal(int milliseconds) { return signalSem.wait(milliseconds); }

    pthread_t handle;   // 0 until started; set by the new thread itself when autofree
    int autofree;

private:
    static void* entry(void* self);
    void epilogue();

    int running;
    int signalled;
    int finished;
    int joined;
    timedsem signalSem;  // count 0; posted by signal
};

// Receives the text of an exception that ended a thread (its what(), or
// "unknown exception"), on that thread. It must not let an exception escape.
using failureReporter = void (*)(const char* what);
// Sets the reporter; null (the start) writes one line to standard error.
void setFailureReporter(failureReporter reporter);

// Sleeps for `milliseconds` with usleep.
void sleepMs(int milliseconds);

// True when `id` is the calling thread.
bool isCurrentThread(pthread_t id);

}  // namespace pt
