// The callers inside the module callback, counted so that the Core's
// destructor can wait for those that may still use it.
//
// Every send of every module passes here, so a caller keeps its count in a
// slot of its own thread, with plain stores. A count shared by all callers
// cost two locked instructions per send, and the second of them waited
// until the message the send had just queued had left the sender's core:
// more than the rest of a small message's send. The waiting side pays
// instead: before it reads the counts it makes every thread of the process
// pass a full memory barrier (the membarrier system call), so that a caller
// whose count it cannot see yet will find the Core unpublished. Where the
// system call is refused, callers count with locked instructions as before.
//
// Callers are counted in two generations: waitForCallers moves new callers
// to the other one and waits for its own to empty, so callers that come
// later cannot keep it waiting.
//
// Thread safety: enter and leave on any thread, in pairs and not nested;
// waitForCallers on one thread at a time. A slot is written by the thread
// that holds it only; a thread holds one from its first enter to its end.
// Everything here is constant-initialised and never freed: a module's late
// callback may come during the process's exit, after static destructors.
#pragma once

namespace CallerCount {

// Counts the calling thread in. What it reads after this call (the Core's
// published instance) it reads after being counted, as the waiting side
// sees it.
void enter();
// Counts it out again.
void leave();
// REQUIRES: what callers read after enter (the instance) was unpublished
// before the call. Blocks until every caller counted in before the call
// has left; callers that come later do not hold it up.
void waitForCallers();
// For tests: the slots threads have held so far, given back or not.
int TEST_slotCount();

}  // namespace CallerCount
