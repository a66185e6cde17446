// Matching events against a module's class masks.
//
// A mask is compared not with the event itself but with a key derived from
// it: the low 24 bits stay in place and the bits from 24 upward move by one
// position. Delivery to Write moves them left, the open-request broadcast
// moves them right; each path uses its own key. A selected mask matches when
// every bit of the key is present in it.
#pragma once

#include <cstdint>

#include "modules/module_api.h"
#include "routing/message_api.h"

namespace MatchKey {

constexpr uint64_t LOW_BITS = 0xFFFFFF;

// Key of delivery by the event handler: event 0x1000002 gives 0x2000002.
constexpr uint64_t delivery(uint64_t event)
{
    return (event & LOW_BITS) | ((event & ~LOW_BITS) << 1);
}

// Key of the open-request broadcast: event 0x1000002 gives 0x800002.
constexpr uint64_t broadcast(uint64_t event)
{
    return (event & LOW_BITS) | ((event & ~LOW_BITS) >> 1);
}

// True when any class mask that `flags` selects (bits 0x01..0x80 for masks
// 0..7, 0x400 for mask 8) contains every bit of `key`.
inline bool selectedMaskMatches(const ModuleInfo& info, uint64_t flags, uint64_t key)
{
    // Only the selected masks are read (usually one), lowest first: this
    // runs for every module on every delivery.
    for (uint64_t selected = flags & 0xFF; selected; selected &= selected - 1) {
        if ((info.class_mask[__builtin_ctzll(selected)] & key) == key)
            return true;
    }
    return (flags & ORV_FLAG_CLASS8) && (info.class_mask[8] & key) == key;
}

static_assert(delivery(0x1000002) == 0x2000002, "delivery key moves the high bits left");
static_assert(broadcast(0x1000002) == 0x800002, "broadcast key moves the high bits right");

}  // namespace MatchKey
