#include "routing/buffer_refs.h"

BufferRefs::BufferRefs()
{
    pthread_mutex_init(&lock, nullptr);
}

BufferRefs::~BufferRefs()
{
    pthread_mutex_destroy(&lock);
}

void BufferRefs::addHold(void* buffer, uint64_t holder)
{
    add(buffer, {holder, false});
}

bool BufferRefs::dropHold(void* buffer, uint64_t holder)
{
    return drop(buffer, {holder, false});
}

void BufferRefs::addCoreHold(void* buffer)
{
    add(buffer, {0, true});
}

bool BufferRefs::dropCoreHold(void* buffer)
{
    return drop(buffer, {0, true});
}

void BufferRefs::add(void* buffer, Holder holder)
{
    if (!buffer)
        return;
    pthread_mutex_lock(&lock);
    entries.emplace(buffer, holder);
    pthread_mutex_unlock(&lock);
}

bool BufferRefs::drop(void* buffer, Holder holder)
{
    if (!buffer)
        return true;
    pthread_mutex_lock(&lock);
    bool removed = false;
    auto range = entries.equal_range(buffer);
    for (auto it = range.first; it != range.second; ++it) {
        if (it->second.core == holder.core && (holder.core || it->second.id == holder.id)) {
            entries.erase(it);
            removed = true;
            break;
        }
    }
    bool last = removed && entries.find(buffer) == entries.end();
    pthread_mutex_unlock(&lock);
    return last;
}

size_t BufferRefs::holds(void* buffer)
{
    pthread_mutex_lock(&lock);
    size_t n = entries.count(buffer);
    pthread_mutex_unlock(&lock);
    return n;
}
