#include "pt/thread.h"

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cxxabi.h>
#include <exception>

#include "pt/atomic.h"
#include "pt/exception.h"
#include "pt/fatal.h"
#include "pt/signal_stack.h"

namespace pt {

namespace {

std::atomic<failureReporter> currentReporter{nullptr};

void ReportFailure(const char* what)
{
    failureReporter report = currentReporter.load();
    if (report)
        report(what);
    else
        std::fprintf(stderr, "thread ended by an exception: %s\n", what);
}

// Runs `body`, turning any exception but the library's own and a thread
// cancellation's unwinding into a report.
template <typename Body>
void RunReported(Body body)
{
    try {
        body();
    } catch (exception*) {
        throw;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        ReportFailure(e.what());
    } catch (...) {
        ReportFailure("unknown exception");
    }
}

}  // namespace

void setFailureReporter(failureReporter reporter)
{
    currentReporter.store(reporter);
}

thread::thread(bool autofree_)
    : handle(0), autofree(autofree_ ? 1 : 0), running(0), signalled(0), finished(0), joined(0), signalSem(0)
{
}

thread::~thread()
{
    if (atomicExchange(&joined, 1) == 0 && !autofree && isRunning())
        pthread_detach(handle);
}

void thread::start()
{
    if (!tryStart())
        fatal(FATAL_THREAD_CREATE, "pthread_create() failed");
}

bool thread::tryStart()
{
    if (atomicExchange(&running, 1) != 0)
        return true;
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setdetachstate(&attributes, autofree ? PTHREAD_CREATE_DETACHED : PTHREAD_CREATE_JOINABLE);
    // An autofree thread may already have deleted itself when pthread_create
    // returns, so its id goes into a local and the object is not touched.
    pthread_t created;
    pthread_t* target = autofree ? &created : &handle;
    int rc = pthread_create(target, &attributes, &thread::entry, this);
    pthread_attr_destroy(&attributes);
    if (rc == 0)
        return true;
    // No thread exists: the destructor must not detach one.
    atomicExchange(&running, 0);
    return false;
}

void* thread::entry(void* self)
{
    // So that a fatal signal's handler also reports an overflow of this stack.
    signal_stack alternate;
    thread* t = static_cast<thread*>(self);
    // Atomic because a misused waitfor may read it from another thread.
    if (t->autofree)
        __atomic_store_n(&t->handle, pthread_self(), __ATOMIC_RELEASE);
    try {
        RunReported([t] { t->execute(); });
    } catch (exception*) {
        t->epilogue();
        throw;
    }
    t->epilogue();
    return nullptr;
}

void thread::epilogue()
{
    try {
        RunReported([this] { cleanup(); });
    } catch (exception* e) {
        delete e;
    }
    // Read before `finished` is set: from then on the owner of a joinable
    // thread may delete the object.
    bool selfDelete = autofree != 0;
    atomicExchange(&finished, 1);
    if (selfDelete)
        delete this;
}

void thread::signal()
{
    if (atomicExchange(&signalled, 1) == 0)
        signalSem.post();
}

void thread::waitfor()
{
    if (atomicExchange(&joined, 1) != 0)
        return;
    if (!isRunning())
        return;
    if (isCurrentThread(__atomic_load_n(&handle, __ATOMIC_ACQUIRE)))
        fatal(FATAL_WAITFOR_SELF, "Can not waitfor() on myself");
    if (autofree)
        fatal(FATAL_WAITFOR_AUTOFREE, "Can not waitfor() on an autofree thread");
    pthread_join(handle, nullptr);
    handle = 0;
}

void sleepMs(int milliseconds)
{
    usleep(static_cast<useconds_t>(milliseconds) * 1000);
}

bool isCurrentThread(pthread_t id)
{
    return pthread_equal(id, pthread_self()) != 0;
}

}  // namespace pt
