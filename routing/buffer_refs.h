// The payload-buffer reference registry: which holders still use which
// payload buffer. A buffer is freed by whoever drops its last hold.
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

    // Records one hold of `holder` on `buffer`; nothing for a null buffer.
    void addHold(void* buffer, uint64_t holder);
    // Removes one hold of `holder` on `buffer`. True when that was the last
    // hold on the buffer (the caller then frees it); true at once for null.
    // False when `holder` held nothing, so a stray release frees nothing.
    bool dropHold(void* buffer, uint64_t holder);
    // Number of holds on `buffer`.
    size_t holds(void* buffer);

private:
    pthread_mutex_t lock;
    std::multimap<void*, uint64_t> entries;  // guarded by lock
};
