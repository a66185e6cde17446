// Building messages and sending them the way a module does.
#pragma once

#include <cstring>
#include <string>

#include "core/callback.h"
#include "core/core.h"
#include "routing/message_api.h"

namespace testmodule {

inline Message MakeMessage(uint64_t source, uint64_t flags, uint64_t event, void* data = nullptr,
                           int32_t length = 0, uint64_t request = 0)
{
    Message message;
    std::memset(&message, 0, sizeof message);
    message.size = sizeof(Message);
    message.version = 1;
    message.source_id = source;
    message.flags = flags;
    message.event = event;
    message.data = data;
    message.length = length;
    message.request_id = request;
    return message;
}

// Sends through the modules' callback; returns MessageResult.result.
inline int32_t Send(const Message& message)
{
    MessageResult result = {sizeof(MessageResult), 1, 0x7777};
    ModuleCallback(&message, &result);
    return result.result;
}

inline int32_t Release(void* data, uint64_t holder)
{
    return Send(MakeMessage(holder, ORV_CMD_RELEASE, 0, data));
}

inline size_t QueueLength(Core& core)
{
    return core.TEST_eventQueue().TEST_messages().size();
}

inline size_t FlowSlotCount(Core& core)
{
    return core.TEST_requestFlow().TEST_slotCount();
}

}  // namespace testmodule
