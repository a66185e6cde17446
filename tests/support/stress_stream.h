// Numbered message streams for the stress suite: what a sender puts into a
// message and what a receiver checks, shared by the tests and the stress
// module. A message of a stream carries its stream and sequence number in
// the first 16 bytes of its body; its payload length and bytes follow from
// those two, so a receiver finds any loss, duplicate, reordering or
// corruption on its own.
#pragma once

#include <cstdint>
#include <cstring>

#include "routing/message_api.h"

namespace stress {

// Mixed sizes, from none to 64 KiB, chosen by the message's place in its
// stream. A request's stream always has a payload, so flow control paces it.
inline int32_t Length(uint64_t stream, uint64_t seq, bool request = false)
{
    static const int32_t sizes[] = {0, 1, 16, 100, 1024, 4000, 16384, 65536};
    const int32_t length = sizes[(stream * 31 + seq * 7) % 8];
    return request && length == 0 ? 1 : length;
}

inline uint8_t Byte(uint64_t stream, uint64_t seq, size_t i)
{
    return static_cast<uint8_t>(stream * 131 + seq * 7 + i);
}

inline void Fill(void* buffer, int32_t length, uint64_t stream, uint64_t seq)
{
    uint8_t* p = static_cast<uint8_t*>(buffer);
    for (int32_t i = 0; i < length; ++i)
        p[i] = Byte(stream, seq, static_cast<size_t>(i));
}

inline bool Intact(const void* data, int32_t length, uint64_t stream, uint64_t seq, int32_t expected)
{
    if (length != expected || (length > 0) != (data != nullptr))
        return false;
    const uint8_t* p = static_cast<const uint8_t*>(data);
    for (int32_t i = 0; i < length; ++i)
        if (p[i] != Byte(stream, seq, static_cast<size_t>(i)))
            return false;
    return true;
}

inline void Stamp(uint8_t* body, uint64_t stream, uint64_t seq)
{
    std::memcpy(body, &stream, 8);
    std::memcpy(body + 8, &seq, 8);
}

inline void ReadStamp(const uint8_t* body, uint64_t& stream, uint64_t& seq)
{
    std::memcpy(&stream, body, 8);
    std::memcpy(&seq, body + 8, 8);
}

// Flags and event of stream messages: class 0, event 1, never video.
constexpr uint64_t kFlags = 0x01;
constexpr uint64_t kEvent = 0x1;

}  // namespace stress
