#include "routing/event_handler.h"

#include "base/thread_log.h"
#include "routing/delivery.h"
#include "routing/event_queue.h"

namespace {
// The queue whose event-handler thread this is; null on every other thread.
thread_local const EventQueue* servedQueue = nullptr;
}

EventHandlerThread::EventHandlerThread(EventQueue& queue_, Delivery& delivery_)
    : pt::thread(false), queue(queue_), delivery(delivery_)
{
}

bool OnEventHandlerThread(const EventQueue& queue)
{
    return servedQueue == &queue;
}

EventHandlerThread::~EventHandlerThread()
{
    waitfor();
}

void EventHandlerThread::execute()
{
    servedQueue = &queue;
    // Every stop is followed by one complete drain, also a stop that comes
    // before the first wait: what was queued before it is still delivered.
    for (;;) {
        if (!isSignalled() && queue.mayWait()) {
            ThreadLog::reportLost();
            queue.wait();
        }
        delivery.drain();
        if (isSignalled())
            break;
    }
}
