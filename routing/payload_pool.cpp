#include "routing/payload_pool.h"

#include <malloc.h>
#include <sanitizer/asan_interface.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>

namespace {

// A parked block's first word.
struct Parked {
    Parked* next;
};

// What every thread shares. Trivially destructible and zero-initialised, so
// it is valid before the first static constructor and after the last static
// destructor, whatever thread gives a block back then.
struct Shared {
    std::atomic<Parked*> returned[PayloadPool::kClasses];  // each pushed by givers, taken whole by a take
    alignas(64) std::atomic<size_t> parkedBytes;
};
Shared shared;

// A thread settles what it took with the shared count once it owes this
// much, so the count costs the taking thread one atomic operation per batch.
constexpr size_t kOwedBatch = PayloadPool::kParkedLimit / 16;

// A block handed out is addressable for the length asked for only.
void* Expose(void* block, size_t length, size_t size)
{
    ASAN_POISON_MEMORY_REGION(block, size);
    ASAN_UNPOISON_MEMORY_REGION(block, length);
    return block;
}

// Reserves room for `bytes` more parked bytes; false when over the limit.
bool Reserve(size_t bytes)
{
    if (shared.parkedBytes.fetch_add(bytes, std::memory_order_relaxed) + bytes <= PayloadPool::kParkedLimit)
        return true;
    shared.parkedBytes.fetch_sub(bytes, std::memory_order_relaxed);
    return false;
}

// A thread's own blocks, taken whole from the return stacks.
// Thread safety: its thread only.
class ThreadCache {
public:
    ThreadCache() = default;
    ThreadCache(const ThreadCache&) = delete;
    ThreadCache& operator=(const ThreadCache&) = delete;
    ~ThreadCache();

    // A parked block of class `sizeClass`, or null when none is parked.
    Parked* pop(int sizeClass);

private:
    void settle();

    Parked* blocks[PayloadPool::kClasses] = {};
    size_t owed = 0;  // bytes popped but still in the shared count
};

thread_local ThreadCache cache;

Parked* ThreadCache::pop(int sizeClass)
{
    Parked* block = blocks[sizeClass];
    if (!block) {
        std::atomic<Parked*>& returned = shared.returned[sizeClass];
        // Looked at first so that an empty stack's line is not written.
        if (!returned.load(std::memory_order_relaxed))
            return nullptr;
        block = returned.exchange(nullptr, std::memory_order_acquire);
        if (!block)
            return nullptr;
    }
    blocks[sizeClass] = block->next;
    owed += PayloadPool::classSize(sizeClass);
    if (owed >= kOwedBatch)
        settle();
    return block;
}

void ThreadCache::settle()
{
    shared.parkedBytes.fetch_sub(owed, std::memory_order_relaxed);
    owed = 0;
}

ThreadCache::~ThreadCache()
{
    for (int sizeClass = 0; sizeClass < PayloadPool::kClasses; ++sizeClass) {
        while (Parked* block = blocks[sizeClass]) {
            blocks[sizeClass] = block->next;
            owed += PayloadPool::classSize(sizeClass);
            std::free(block);
        }
    }
    settle();
}

// The bit number of the highest bit set. REQUIRES: n nonzero.
int HighestBit(size_t n)
{
    return 63 - __builtin_clzll(n);
}

}  // namespace

// Class i is (4 + i % 4) << (i / 4 + 4): 64, 80, 96, 112, 128, 160, ...
size_t PayloadPool::classSize(int sizeClass)
{
    return size_t(4 + sizeClass % 4) << (sizeClass / 4 + 4);
}

int PayloadPool::classFor(size_t length)
{
    if (length <= kSmallest)
        return 0;
    if (length > kLargest)
        return -1;
    // The top three bits of length - 1, rounded up to the next class.
    const size_t below = length - 1;
    const int high = HighestBit(below);
    return (high - 6) * 4 + static_cast<int>(below >> (high - 2)) - 3;
}

int PayloadPool::classServedBy(size_t usable)
{
    if (usable < kSmallest)
        return -1;
    const int high = HighestBit(usable);
    const int sizeClass = (high - 6) * 4 + static_cast<int>(usable >> (high - 2)) - 4;
    return sizeClass < kClasses ? sizeClass : -1;
}

void* PayloadPool::take(size_t length)
{
    const int sizeClass = classFor(length);
    if (sizeClass < 0)
        return std::malloc(length);
    const size_t size = classSize(sizeClass);
    void* block = cache.pop(sizeClass);
    if (!block)
        block = std::malloc(size);
    return block ? Expose(block, length, size) : nullptr;
}

void PayloadPool::give(void* block)
{
    if (!block)
        return;
    const int sizeClass = classServedBy(malloc_usable_size(block));
    if (sizeClass < 0 || !Reserve(classSize(sizeClass))) {
        std::free(block);
        return;
    }
    // Poisoned before it is published: from then on another thread may take
    // and expose it. The link stays addressable: LeakSanitizer follows no
    // pointer kept in poisoned memory, and would report the parked blocks.
    ASAN_POISON_MEMORY_REGION(block, classSize(sizeClass));
    ASAN_UNPOISON_MEMORY_REGION(block, sizeof(Parked));
    Parked* parked = static_cast<Parked*>(block);
    std::atomic<Parked*>& returned = shared.returned[sizeClass];
    Parked* top = returned.load(std::memory_order_relaxed);
    do
        parked->next = top;
    while (!returned.compare_exchange_weak(top, parked, std::memory_order_release, std::memory_order_relaxed));
}

size_t PayloadPool::TEST_parkedBytes()
{
    return shared.parkedBytes.load(std::memory_order_relaxed);
}
