// The event-handler thread: the one thread that delivers queued messages to
// the modules (routing/delivery.h), waiting on the queue's trigger while
// there is nothing to deliver.
//
// Thread safety: the thread is created, signalled and deleted by the main
// thread (Core::StartEventHandler, Core::StopEventHandler); everything else it
// does happens on itself. The queue's lock is held only to take everything
// queued as one batch and to find the queue empty (then the thread marks
// itself waiting, and the next append posts the trigger).
//
// Invariants:
//  - A stop that arrives while the thread waits still gets one complete drain.
//  - The last drain ends: the stop closes the queue before it signals the
//    thread; from then on only the replies that the drain's own calls send
//    join the queue, up to a bound, and what else is sent is dropped.
#pragma once

#include "pt/thread.h"

class Delivery;
class EventQueue;

class EventHandlerThread : public pt::thread {
public:
    // Both outlive the thread.
    EventHandlerThread(EventQueue& queue, Delivery& delivery);
    // Joins the thread.
    ~EventHandlerThread() override;

protected:
    void execute() override;

private:
    EventQueue& queue;
    Delivery& delivery;
};

// True on the event-handler thread of `queue`: what is sent there is sent
// from inside one of its Write or IOCTL calls.
bool OnEventHandlerThread(const EventQueue& queue);
