#include "routing/dispatcher.h"

#include <tinyxml.h>

#include <cstdlib>
#include <cstring>
#include <new>

#include "core/core.h"
#include "modules/boundary_record.h"
#include "pt/mutex_lock.h"
#include "routing/event_handler.h"
#include "routing/match_key.h"
#include "routing/payload_holds.h"
#include "routing/plugin_thread.h"

namespace {

// Starts one Read worker per module that serves requests and whose selected
// masks match the broadcast key. The result of the open request: refused
// once the stop's close pass has begun (the walk starts no more workers), -1
// when a worker could not be started for lack of memory or of a thread (the
// others are).
int32_t OpenRequest(Core& core, const Message& request)
{
    core.requestFlow.reopen(request.request_id);
    const uint64_t key = MatchKey::broadcast(request.event);
    const WorkerCommand command = ReadCommand(request.length, request.data, request.request_id);
    const WorkerReply reply = ReadCommandReply();
    if (core.modulesClosing.load())
        return ORV_RESULT_REFUSED;
    int32_t result = ORV_RESULT_OK;
    // Shared: the loader may still be inserting, the stop passes may begin.
    pt::readLock lock(core.modulesLock);
    for (size_t i = 0; i < core.modules.size(); ++i) {
        if (core.modulesClosing) {
            result = ORV_RESULT_REFUSED;
            break;
        }
        const ModuleRecord& record = core.modules[i];
        if (!record.library || !record.Read || !record.info.wants_read_worker)
            continue;
        if (!MatchKey::selectedMaskMatches(record.info, request.flags, key))
            continue;
        // Out of memory costs this worker only; the walk goes on, so the
        // shared hold is always given back.
        try {
            if (!StartWorker(&core, record, record.Read, command, reply))
                result = ORV_RESULT_NO_MEMORY;
        } catch (const std::bad_alloc&) {
            result = ORV_RESULT_NO_MEMORY;
        }
    }
    return result;
}

// The result of queueing a message from a module or from the Core itself.
int32_t QueueMessage(Core& core, const Message& message)
{
    const bool video = (message.flags & ORV_FLAG_VIDEO) && (message.event & ORV_EVENT_VIDEO_BIT);
    if (video && core.throttling.load())
        return ORV_RESULT_THROTTLED;

    Message copy = message;
    if (message.data && message.length != 0) {
        copy.data = PayloadHolds::copy(message.data, message.length);
        if (!copy.data)
            return ORV_RESULT_NO_MEMORY;
    } else {
        copy.data = nullptr;
        copy.length = 0;
    }

    FlowSlot* slot = nullptr;
    if (copy.request_id != 0) {
        bool released = false;
        slot = core.requestFlow.slotFor(copy.request_id, released);
        if (!slot) {
            std::free(copy.data);
            return ORV_RESULT_REFUSED;
        }
        if (copy.data)
            core.requestFlow.claim(slot, copy.data, released);
    }

    using Posted = EventQueue::Posted;
    const Posted outcome = core.eventQueue.post(copy, core.stats.find(copy.source_id), OnEventHandlerThread(core));
    if (outcome != Posted::Yes) {
        if (slot && copy.data)
            core.requestFlow.unclaim(slot);
        std::free(copy.data);
    }
    switch (outcome) {
    case Posted::Refused:
        return ORV_RESULT_REFUSED;
    case Posted::NoMemory:
        return ORV_RESULT_NO_MEMORY;
    default:
        return ORV_RESULT_OK;
    }
}

Message CoreMessage(const std::string& payload, uint64_t flags, uint64_t event)
{
    Message message = NewRecord<Message>(ORV_MESSAGE_VERSION);
    message.length = static_cast<int32_t>(payload.size());
    message.data = const_cast<char*>(payload.data());  // only read: Dispatch copies it
    message.source_id = ORV_CORE_ID;
    message.request_id = 0;
    message.flags = flags;
    message.event = event;
    return message;
}

void DispatchFromCore(Core& core, const std::string& payload, uint64_t flags, uint64_t event)
{
    Message message = CoreMessage(payload, flags, event);
    MessageResult result = {sizeof(MessageResult), 1, 0};
    core.Dispatch(&message, &result);
}

// Counts a module's send that was not accepted (any thread); accepted sends
// are counted under queueLock.
void CountRefusal(Core& core, const Message& message, int32_t result)
{
    if (result == ORV_RESULT_OK)
        return;
    ModuleStats* sender = core.stats.find(message.source_id);
    if (!sender)
        return;
    if (result == ORV_RESULT_REFUSED)
        Add(sender->sentRefused);
    else if (result == ORV_RESULT_THROTTLED)
        Add(sender->sentThrottled);
    else
        Add(sender->sentNoMemory);
}

}  // namespace

void Core::ReleaseFlowSlots()
{
    requestFlow.releaseAll();
}

int32_t Core::Dispatch(const Message* message, MessageResult* result)
{
    if (!eventQueue.running()) {
        result->result = ORV_RESULT_REFUSED;
        if (message->flags != ORV_CMD_RELEASE && message->source_id != 0)
            CountRefusal(*this, *message, ORV_RESULT_REFUSED);
        return 0;
    }
    if (message->flags == ORV_CMD_RELEASE) {
        payloadHolds.release(message->data, message->source_id);
    } else if (message->source_id == 0) {
        if (message->flags == ORV_CMD_CANCEL) {
            if (!requestFlow.cancel(message->request_id)) {
                result->result = ORV_RESULT_NO_MEMORY;
                return 0;
            }
        } else {
            result->result = OpenRequest(*this, *message);
            return 0;
        }
    } else {
        result->result = QueueMessage(*this, *message);
        CountRefusal(*this, *message, result->result);
        return 0;
    }
    result->result = ORV_RESULT_OK;
    return 0;
}

void Core::SendText(const std::string& text)
{
    DispatchFromCore(*this, text, ORV_FLAG_CLASS(6), ORV_EVENT_TEXT);
}

void Core::SendDocument(const TiXmlDocument& document, uint64_t flags)
{
    std::string printed;
    printed << document;
    DispatchFromCore(*this, printed, flags, ORV_EVENT_DOCUMENT);
}
