#include "core/caller_count.h"

#include <linux/membarrier.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <new>

#include "pt/thread.h"

namespace {

// One thread's counts, on a line of its own. `next` is set before the slot
// is published and never changed; `locked` too.
struct alignas(64) Slot {
    std::atomic<uint64_t> inside[2];
    std::atomic<bool> taken;
    bool locked;  // counted with locked instructions
    Slot* next;
};

std::atomic<Slot*> slots{nullptr};  // every slot made, newest first
std::atomic<uint32_t> generation{0};
// For a thread that could not get a slot of its own: shared, so locked.
Slot sharedSlot{{{0}, {0}}, {true}, true, nullptr};

__thread Slot* threadSlot __attribute__((tls_model("initial-exec")));
__thread uint32_t heldGeneration __attribute__((tls_model("initial-exec")));

pthread_key_t slotKey;
bool slotKeyMade = false;
pthread_once_t slotKeyOnce = PTHREAD_ONCE_INIT;

long Membarrier(int command)
{
    return syscall(SYS_membarrier, command, 0, 0);
}

// True when the waiting side can make every thread pass a barrier; decided
// once, before the first slot is handed out.
bool BarrierReady()
{
    static const bool ready = Membarrier(MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED) == 0;
    return ready;
}

// At a thread's end: its slot is free for the next thread.
void GiveBack(void* slot)
{
    threadSlot = nullptr;
    static_cast<Slot*>(slot)->taken.store(false, std::memory_order_release);
}

Slot* FreeSlot()
{
    for (Slot* slot = slots.load(std::memory_order_acquire); slot; slot = slot->next) {
        bool free = false;
        if (!slot->taken.load(std::memory_order_relaxed) &&
            slot->taken.compare_exchange_strong(free, true, std::memory_order_acquire))
            return slot;
    }
    return nullptr;
}

Slot* NewSlot()
{
    Slot* slot = new (std::nothrow) Slot{{{0}, {0}}, {true}, !BarrierReady(), nullptr};
    if (!slot)
        return nullptr;
    slot->next = slots.load(std::memory_order_relaxed);
    while (!slots.compare_exchange_weak(slot->next, slot, std::memory_order_release, std::memory_order_relaxed)) {
    }
    return slot;
}

// The calling thread's first enter: a slot given back by an ended thread,
// or a new one; the shared one when the thread's end could not be watched
// or memory ran out.
Slot* TakeSlot()
{
    pthread_once(&slotKeyOnce, [] { slotKeyMade = pthread_key_create(&slotKey, GiveBack) == 0; });
    Slot* slot = nullptr;
    if (slotKeyMade) {
        slot = FreeSlot();
        if (!slot)
            slot = NewSlot();
        if (slot && pthread_setspecific(slotKey, slot) != 0) {
            slot->taken.store(false, std::memory_order_release);
            slot = nullptr;
        }
    }
    threadSlot = slot ? slot : &sharedSlot;
    return threadSlot;
}

uint64_t Inside(uint32_t held)
{
    uint64_t total = sharedSlot.inside[held].load();
    for (Slot* slot = slots.load(std::memory_order_acquire); slot; slot = slot->next)
        total += slot->inside[held].load();
    return total;
}

}  // namespace

namespace CallerCount {

void enter()
{
    Slot* slot = threadSlot ? threadSlot : TakeSlot();
    const uint32_t held = generation.load() & 1;
    heldGeneration = held;
    std::atomic<uint64_t>& count = slot->inside[held];
    if (slot->locked) {
        count.fetch_add(1);
        return;
    }
    count.store(count.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    // The compiler keeps the caller's next read after the count; the
    // processor may not, which the waiting side's barrier answers for.
    std::atomic_signal_fence(std::memory_order_seq_cst);
}

void leave()
{
    Slot* slot = threadSlot;
    std::atomic<uint64_t>& count = slot->inside[heldGeneration];
    if (slot->locked)
        count.fetch_sub(1, std::memory_order_release);
    else
        count.store(count.load(std::memory_order_relaxed) - 1, std::memory_order_release);
}

void waitForCallers()
{
    const uint32_t old = generation.fetch_add(1) & 1;
    // Every thread passes a full barrier: a caller's count stored before
    // that point is seen below, and a caller that stores it after reads
    // what was unpublished before this call. A barrier that fails leaves
    // the slower global one.
    if (BarrierReady() && Membarrier(MEMBARRIER_CMD_PRIVATE_EXPEDITED) != 0)
        Membarrier(MEMBARRIER_CMD_GLOBAL);
    while (Inside(old) != 0)
        pt::sleepMs(1);
}

int TEST_slotCount()
{
    int count = 0;
    for (Slot* slot = slots.load(std::memory_order_acquire); slot; slot = slot->next)
        ++count;
    return count;
}

}  // namespace CallerCount
