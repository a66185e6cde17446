#include "routing/dispatcher.h"

#include <tinyxml.h>

#include <cstring>
#include <new>

#include "base/service_stats.h"
#include "modules/boundary_record.h"
#include "modules/module_list.h"
#include "routing/event_handler.h"
#include "routing/event_queue.h"
#include "routing/match_key.h"
#include "routing/payload_holds.h"
#include "routing/payload_pool.h"
#include "routing/plugin_thread.h"
#include "routing/request_flow.h"

namespace {

Message CoreMessage(const std::string& payload, uint64_t flags, uint64_t event)
{
    Message message = NewRecord<Message>(ORV_MESSAGE_VERSION);
    message.length = static_cast<int32_t>(payload.size());
    message.data = const_cast<char*>(payload.data());  // only read: dispatch copies it
    message.source_id = ORV_CORE_ID;
    message.request_id = 0;
    message.flags = flags;
    message.event = event;
    return message;
}

}  // namespace

Dispatcher::Dispatcher(EventQueue& queue_, RequestFlow& flow_, PayloadHolds& holds_, ModuleList& modules_,
                       ServiceStats& stats_)
    : queue(queue_), flow(flow_), holds(holds_), modules(modules_), stats(stats_)
{
}

// Starts one Read worker per module that serves requests and whose selected
// masks match the broadcast key. The result of the open request: refused
// once the stop's close pass has begun (the walk starts no more workers), -1
// when a worker could not be started for lack of memory or of a thread (the
// others are).
int32_t Dispatcher::openRequest(const Message& request)
{
    flow.reopen(request.request_id);
    const uint64_t key = MatchKey::broadcast(request.event);
    const WorkerCommand command = ReadCommand(request.length, request.data, request.request_id);
    const WorkerReply reply = ReadCommandReply();
    int32_t result = ORV_RESULT_OK;
    // Shared: the loader may still be inserting, the stop passes may begin.
    const bool open = modules.forEachWhileOpen([&](const ModuleRecord& record) {
        if (!record.library || !record.Read || !record.info.wants_read_worker)
            return;
        if (!MatchKey::selectedMaskMatches(record.info, request.flags, key))
            return;
        // Out of memory costs this worker only; the walk goes on, so the
        // shared hold is always given back.
        try {
            if (!StartWorker(&flow, record, record.Read, command, reply))
                result = ORV_RESULT_NO_MEMORY;
        } catch (const std::bad_alloc&) {
            result = ORV_RESULT_NO_MEMORY;
        }
    });
    return open ? result : ORV_RESULT_REFUSED;
}

// The result of queueing a message from a module or from the Core itself.
int32_t Dispatcher::queueMessage(const Message& message)
{
    const bool video = (message.flags & ORV_FLAG_VIDEO) && (message.event & ORV_EVENT_VIDEO_BIT);
    if (video && throttlingOn.load())
        return ORV_RESULT_THROTTLED;

    void* payload = nullptr;
    if (message.data && message.length != 0) {
        payload = PayloadHolds::copy(message.data, message.length);
        if (!payload)
            return ORV_RESULT_NO_MEMORY;
    }

    FlowSlot* slot = nullptr;
    if (message.request_id != 0) {
        bool released = false;
        slot = flow.slotFor(message.request_id, released);
        if (!slot) {
            PayloadPool::give(payload);
            return ORV_RESULT_REFUSED;
        }
        if (payload)
            flow.claim(slot, payload, released);
    }

    using Posted = EventQueue::Posted;
    const Posted outcome = queue.post(message, payload, stats.find(message.source_id), OnEventHandlerThread(queue));
    if (outcome != Posted::Yes) {
        if (slot && payload)
            flow.unclaim(slot);
        PayloadPool::give(payload);
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

// Counts a module's send that was not accepted (any thread); accepted sends
// are counted under queueLock.
void Dispatcher::countRefusal(const Message& message, int32_t result)
{
    ModuleStats* sender = stats.find(message.source_id);
    if (!sender)
        return;
    if (result == ORV_RESULT_REFUSED)
        Add(sender->sentRefused);
    else if (result == ORV_RESULT_THROTTLED)
        Add(sender->sentThrottled);
    else
        Add(sender->sentNoMemory);
}

void Dispatcher::dispatch(const Message& message, MessageResult& result)
{
    if (!queue.running()) {
        result.result = ORV_RESULT_REFUSED;
        if (message.flags != ORV_CMD_RELEASE && message.source_id != 0)
            countRefusal(message, ORV_RESULT_REFUSED);
        return;
    }
    if (message.flags == ORV_CMD_RELEASE) {
        holds.release(message.data, message.source_id);
    } else if (message.source_id == 0) {
        if (message.flags == ORV_CMD_CANCEL) {
            if (!flow.cancel(message.request_id)) {
                result.result = ORV_RESULT_NO_MEMORY;
                return;
            }
        } else {
            result.result = openRequest(message);
            return;
        }
    } else {
        result.result = queueMessage(message);
        if (result.result != ORV_RESULT_OK)
            countRefusal(message, result.result);
        return;
    }
    result.result = ORV_RESULT_OK;
}

void Dispatcher::sendFromCore(const std::string& payload, uint64_t flags, uint64_t event)
{
    Message message = CoreMessage(payload, flags, event);
    MessageResult result = {sizeof(MessageResult), 1, 0};
    dispatch(message, result);
}

void Dispatcher::sendText(const std::string& text)
{
    sendFromCore(text, ORV_FLAG_CLASS(6), ORV_EVENT_TEXT);
}

void Dispatcher::sendDocument(const TiXmlDocument& document, uint64_t flags)
{
    std::string printed;
    printed << document;
    sendFromCore(printed, flags, ORV_EVENT_DOCUMENT);
}
