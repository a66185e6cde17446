// Private copies of message payloads.
//
// Every payload the Core keeps beyond a call (a queued message's, a worker's)
// is its own malloc'ed copy, so senders may reuse their buffers as soon as
// the call returns. Copies are freed with free() by their last holder.
#pragma once

#include <cstdint>

// A malloc'ed copy of the `length` bytes at `data`, or null when the copy
// cannot be allocated. A negative length (which no allocation can satisfy)
// gives null without trying. REQUIRES: data non-null, length nonzero.
void* CopyPayload(const void* data, int32_t length);
