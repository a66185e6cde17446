// The payload-buffer reference registry: which holders still use which
// payload buffer. A buffer is freed by whoever drops its last hold.
//
// The Core's own hold (taken for the length of a delivery pass) is kept
// apart from the modules' holds: a module's release names a holder id, and
// no id, not even the Core's own 0x80000000, can drop the Core's hold.
//
// Thread safety: every operation takes the registry's own mutex for the map
// operation only; no other lock is taken inside.
// Invariant: at most one entry per (buffer, holder) is removed per drop, so a
// release from a holder that holds nothing changes nothing.
#pragma once

#include <pthread.h>

#include <cstdint>
#include <map>

class BufferRefs {
public:
    BufferRefs();
    ~BufferRefs();
    BufferRefs(const BufferRefs&) = delete;
    BufferRefs& operator=(const BufferRefs&) = delete;

    // Records one hold of module `holder` on `buffer`; nothing for a null buffer.
    void addHold(void* buffer, uint64_t holder);
    // Removes one hold of module `holder` on `buffer`. True when that was the
    // last hold on the buffer (the caller then frees it); true at once for
    // null. False when `holder` held nothing, so a stray release frees nothing.
    bool dropHold(void* buffer, uint64_t holder);
    // The same for the Core's own hold.
    void addCoreHold(void* buffer);
    bool dropCoreHold(void* buffer);
    // Number of holds on `buffer`, the Core's included.
    size_t holds(void* buffer);

private:
    struct Holder {
        uint64_t id;   // the module's id; unused for the Core's hold
        bool core;     // the Core's own hold
    };

    void add(void* buffer, Holder holder);
    bool drop(void* buffer, Holder holder);

    pthread_mutex_t lock;
    std::multimap<void*, Holder> entries;  // guarded by lock
};
