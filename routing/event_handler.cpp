#include "routing/event_handler.h"

#include <cstring>

#include "core/core.h"
#include "core/thread_log.h"
#include "modules/boundary_record.h"
#include "routing/dispatcher.h"
#include "routing/match_key.h"

EventHandlerThread::EventHandlerThread(Core* core_) : pt::thread(false), core(core_) {}

EventHandlerThread::~EventHandlerThread()
{
    waitfor();
}

void EventHandlerThread::execute()
{
    ThreadLog::attach();
    // The trigger exists from before this thread starts until after it is joined.
    pt::trigger* trigger = core->eventTrigger;
    // Every stop is followed by one complete drain, also a stop that comes
    // before the first wait: what was queued before it is still delivered.
    for (;;) {
        if (!isSignalled())
            trigger->wait();
        core->DrainEvents();
        if (isSignalled())
            break;
    }
    ThreadLog::detach();
}

bool Core::StartEventHandler()
{
    eventHandlerThread = new EventHandlerThread(this);
    eventHandlerThread->start();
    return true;
}

bool Core::StopEventHandler()
{
    if (!eventHandlerThread)
        return true;
    eventHandlerThread->signal();
    eventTrigger->post();
    while (!eventHandlerThread->isFinished())
        pt::sleepMs(100);
    delete eventHandlerThread;
    eventHandlerThread = nullptr;
    return true;
}

namespace {

// Takes the front message into `message`; false when the queue is empty.
bool TakeFront(Core& core, Message& message)
{
    pthread_mutex_lock(&core.queueLock);
    bool any = !core.eventQueue.empty();
    if (any) {
        message = core.eventQueue.front();
        core.eventQueue.pop_front();
    }
    pthread_mutex_unlock(&core.queueLock);
    return any;
}

// Payload notice through IOCTL with sub-code `code`: the payload only.
void NotifyPayload(Core& core, const ModuleRecord& record, const Message& message, uint32_t code)
{
    if (!record.IOCTL)
        return;
    const uint64_t holder = record.info.module_id;
    core.bufferRefs.addHold(message.data, holder);
    IoctlArgs args = NewRecord<IoctlArgs>();
    args.code = code;
    args.payload = NewRecord<PayloadRef>();
    args.payload.length = message.length;
    args.payload.data = message.data;
    IoctlReply reply = NewRecord<IoctlReply>();
    reply.code = code;
    reply.nested_size = 8;
    reply.nested_version = 1;
    record.IOCTL(&args, &reply);
    if (reply.keeps_buffer == 0)
        DropPayloadHold(core, message.data, holder);
}

void WriteMessage(Core& core, const ModuleRecord& record, const Message& message)
{
    if (!record.Write)
        return;
    const uint64_t holder = record.info.module_id;
    core.bufferRefs.addHold(message.data, holder);
    WriteArgs args = NewRecord<WriteArgs>();
    args.code = 0;
    args.on_worker = 0;
    args.length = message.length;
    args.data = message.data;
    args.source_id = message.source_id;
    args.request_id = message.request_id;
    args.flags = message.flags;
    args.event = message.event;
    std::memcpy(args.body, message.body, sizeof args.body);
    WriteReply reply = NewRecord<WriteReply>();
    record.Write(&args, &reply);
    if (reply.keeps_buffer == 0)
        DropPayloadHold(core, message.data, holder);
}

// One module's part of a message's delivery pass. The list does not change
// while this thread runs, so the record stays valid across the module's call.
void Deliver(Core& core, const ModuleRecord& record, const Message& message, uint64_t key)
{
    const bool matched = MatchKey::selectedMaskMatches(record.info, message.flags, key);
    if ((message.flags & ORV_FLAG_NOTIFY_OTHERS) && record.info.module_id != message.source_id)
        NotifyPayload(core, record, message, ORV_IOCTL_NOTIFY_OTHERS);
    else if (message.flags & ORV_FLAG_NOTIFY_ALL)
        NotifyPayload(core, record, message, ORV_IOCTL_NOTIFY_ALL);
    else if (matched && record.info.accepts_write)
        WriteMessage(core, record, message);
}

}  // namespace

void Core::DrainEvents()
{
    Message message;
    while (TakeFront(*this, message)) {
        bufferRefs.addCoreHold(message.data);
        const uint64_t key = MatchKey::delivery(message.event);
        for (size_t i = 0; i < modules.size(); ++i) {
            if (modules[i].library)
                Deliver(*this, modules[i], message, key);
        }
        DropCoreHold(*this, message.data);
    }
}
