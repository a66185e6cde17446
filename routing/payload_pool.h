// Payload pool: payload buffers recycled between the thread that frees them
// and the thread that copies the next payload, without the allocator.
//
// A payload is copied on its sender's thread and freed on the event-handler
// thread (or a receiver's). Through malloc that is a round trip between two
// thread caches and the allocator's shared lists for every message, which at
// 64 KiB costs as much as the copy. The pool parks a freed buffer on its size
// class's return stack instead; a thread that finds its own cache of the
// class empty takes the whole stack with one exchange, and hands out its
// buffers with no atomic operation at all.
//
// Every block is an ordinary malloc'ed block of its class's size, so free()
// is always a correct, if slower, way to drop one. A block's class is read
// back from malloc_usable_size when it is given back, which is also why a
// block that did not come from the pool may be given to it.
//
// Size classes: four per power of two (64, 80, 96, 112, 128, 160, ...), from
// 64 bytes to 1 MiB, so a block wastes less than a quarter of its size.
// Larger payloads go to malloc and back.
//
// Bound: at most kParkedLimit bytes are parked (on the return stacks and in
// the threads' caches together); a block given back beyond that is freed, so
// after a burst the memory falls back to the limit. A thread's cache is freed
// when the thread ends.
//
// AddressSanitizer: a parked block is poisoned but for its first word (the
// link, which LeakSanitizer must see), and a block handed out is poisoned
// past the length asked for, so the sanitizer builds report a use after the
// payload's free, or a read past its end, as they would with malloc (as
// "use-after-poison"). Not reported: an access to the first 8 bytes, and one
// to a block reused before it, as with an allocator that has no quarantine.
//
// Thread safety: take and give may be called by any thread; give also while
// the process exits (the shared state is never destroyed), take not from a
// thread-local destructor (the thread's cache may be gone).
// Invariants:
//  - A parked block is on exactly one return stack or in exactly one
//    thread's cache, and its first word links it to the next.
//  - The parked count never reads below the bytes actually parked (a thread
//    subtracts what it took in batches), so the limit holds on memory.
#pragma once

#include <cstddef>

class PayloadPool {
public:
    static constexpr size_t kSmallest = 64;
    static constexpr size_t kLargest = size_t(1) << 20;
    static constexpr int kClasses = 57;
    static constexpr size_t kParkedLimit = size_t(32) << 20;

    // A block of at least `length` bytes, addressable for `length` bytes, or
    // null when malloc fails. Dropped by give (or free).
    static void* take(size_t length);
    // Parks `block` for the next take of its class, or frees it when the
    // pool is full or it is outside the classes; nothing for null.
    // REQUIRES: `block` is a malloc'ed block nobody uses any more.
    static void give(void* block);

    // The class of a block for `length` bytes, -1 above kLargest.
    static int classFor(size_t length);
    // The largest class a malloc'ed block of `usable` bytes can serve; -1
    // below kSmallest, and from the size a class after the last would have.
    static int classServedBy(size_t usable);
    static size_t classSize(int sizeClass);

    // Bytes parked as the pool counts them (at least those parked).
    static size_t TEST_parkedBytes();
};
