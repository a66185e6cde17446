// Flow control of one request worker: at most one payload in flight.
//
// The gate has count 1 while nothing is in flight. Before each send with a
// payload the worker takes the gate (blocking while its previous payload is
// still held) and records the new copy in inFlight; whoever drops that
// payload's last hold clears inFlight and posts the gate, under requestLock.
#pragma once

#include "pt/semaphore.h"

struct FlowSlot {
    pt::semaphore gate{1};
    void* inFlight = nullptr;  // written by the worker's own sends, cleared under requestLock
};
