// The dispatcher: where every message sent into the Core arrives (Core::Dispatch,
// Core::SendText and Core::SendDocument, in dispatcher.cpp); a release is
// handed to the payload holds (routing/payload_holds.h).
//
// Thread safety: Dispatch runs on its caller's thread (module threads,
// workers, the event handler inside a module call, the main thread while
// modules load) and is re-entrant. It holds at most one of queueLock,
// requestLock and the payload holds' mutex at a time, never while a module runs.
// Its only blocking wait is a request worker's wait on its own flow-slot gate.
//
// Invariants:
//  - Outside Start..Stop (no eventTrigger) every message is refused with 1:
//    nothing is copied, queued, released, cancelled or started.
//  - Once the last delivery pass has begun (queueOpen false) a message is
//    still accepted with 0 but dropped at once, unless it is a reply sent
//    from inside a call of that pass and the pass's bound allows it; once
//    the stop has opened the flow slots (flowReleased) no send waits on one.
//  - An open request is refused with 1 once the close pass has begun.
//  - A queued message owns a private copy of its payload; the sender's
//    buffer is never referenced after Dispatch returns.
//  - A payload is freed by whoever drops its last hold, after the flow slot
//    waiting for it has been woken; a drop by a holder that holds nothing
//    frees nothing.
#pragma once
