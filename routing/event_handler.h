// The event-handler thread: the one thread that delivers queued messages to
// the modules, one message and one module at a time (Core::DrainEvents, in
// event_handler.cpp).
//
// Thread safety: the thread is created, signalled and deleted by the main
// thread (Core::StartEventHandler, Core::StopEventHandler); everything else it
// does happens on itself. queueLock is held only to take everything queued as
// one batch and to find the queue empty (then the thread marks itself waiting,
// and the next append posts the trigger), never during a module call, so
// modules may send from inside Write and IOCTL: those messages join the queue
// and are delivered later in the same drain.
//
// Invariants:
//  - The Core holds a payload (its own hold, apart from the modules' holds)
//    for the whole of its delivery pass; a receiver's call is published
//    while it runs, and its hold is recorded after it only if it keeps the
//    payload and has not released it meanwhile.
//  - Every receiver of one message sees the same payload pointer.
//  - A stop that arrives while the thread waits still gets one complete drain.
//  - The last drain ends: the stop closes the queue before it signals the
//    thread; from then on only the replies that the drain's own calls send
//    join the queue, up to a bound, and what else is sent is dropped.
#pragma once

#include "pt/thread.h"

class Core;

class EventHandlerThread : public pt::thread {
public:
    explicit EventHandlerThread(Core* core);
    // Joins the thread.
    ~EventHandlerThread() override;

protected:
    void execute() override;

private:
    Core* core;  // the Core served; not owned
};

// True on `core`'s event-handler thread: what is sent there is sent from
// inside one of its Write or IOCTL calls.
bool OnEventHandlerThread(const Core& core);
