#include "routing/payload_copy.h"

#include <cstdlib>
#include <cstring>

void* CopyPayload(const void* data, int32_t length)
{
    if (length < 0)
        return nullptr;
    void* copy = std::malloc(static_cast<size_t>(length));
    if (copy)
        std::memcpy(copy, data, static_cast<size_t>(length));
    return copy;
}
