#include "routing/plugin_thread.h"

#include <cstring>
#include <new>

#include "base/log_limiter.h"
#include "base/thread_log.h"
#include "modules/boundary_record.h"
#include "modules/module_call.h"
#include "modules/module_record.h"
#include "routing/payload_holds.h"
#include "routing/payload_pool.h"
#include "routing/request_flow.h"
#include "modules/worker_registry.h"

namespace {

// A worker whose thread the system would not create: the service goes on
// without it, and says so in at most ten lines a second.
void ReportNoThread(const char* module, WorkerEntry entry)
{
    static LogLimiter limiter;
    uint64_t heldBack = 0;
    if (!limiter.allow(heldBack))
        return;
    ThreadLog::error("plugin %s: no thread could be created for a %s worker; the call is not made%s", module,
                     entry == WorkerEntry::Read ? "Read" : "IOCTL", LogLimiter::HeldBackNote(heldBack).text);
}

}  // namespace

PluginThread* PluginThread::create(RequestFlow* flow, const ModuleRecord& module, OrvEntryPoint entry,
                                   const WorkerCommand& command, const WorkerReply& reply)
{
    if (!entry)
        return nullptr;
    PluginThread* worker = new PluginThread(flow, module, entry, command, reply);
    if (!worker->copyPayload()) {
        delete worker;
        return nullptr;
    }
    return worker;
}

PluginThread::PluginThread(RequestFlow* flow_, const ModuleRecord& module_, OrvEntryPoint entry_,
                           const WorkerCommand& command_, const WorkerReply& reply_)
    : pt::thread(true), flow(flow_), entry(entry_), command(command_), reply(reply_), module(module_.library),
      fileName(module_.file_name)
{
}

PluginThread::~PluginThread() = default;

bool PluginThread::copyPayload()
{
    if (command.command_code != ORV_WORKER_READ)
        return true;
    ReadArgs& args = command.args.read;
    // As for queued messages, an empty payload travels as no payload.
    if (!args.data || args.length == 0) {
        args.data = nullptr;
        args.length = 0;
        return true;
    }
    void* copy = PayloadHolds::copy(args.data, args.length);
    // The caller's buffer is not ours: never leave it in the record.
    args.data = copy;
    return copy != nullptr;
}

bool PluginThread::launch()
{
    try {
        WorkerRegistry::instance().workerStarted(module, entryKind());
    } catch (const std::bad_alloc&) {
        delete this;
        return false;
    }
    if (tryStart())
        return true;
    // Counted out with no clean-up on the flow: the thread never ran.
    WorkerRegistry::instance().workerEnded(module, entryKind(), nullptr, [] {});
    ReportNoThread(fileName.c_str(), entryKind());
    delete this;
    return false;
}

WorkerEntry PluginThread::entryKind() const
{
    return command.command_code == ORV_WORKER_READ ? WorkerEntry::Read : WorkerEntry::Ioctl;
}

bool PluginThread::servesRequest() const
{
    return command.command_code == ORV_WORKER_READ && command.args.read.request_id != 0;
}

void PluginThread::execute()
{
    // Its sends would all be refused without a slot: the request goes unserved.
    if (servesRequest() && !flow->addSlot(handle)) {
        ThreadLog::error("plugin %s: out of memory registering a request worker; request 0x%llx not served",
                         fileName.c_str(), static_cast<unsigned long long>(command.args.read.request_id));
        return;
    }
    ModuleCall::OnWorker(fileName, command.command_code == ORV_WORKER_READ ? "Read" : "IOCTL", entry,
                         &command.args, &reply.reply);
}

void PluginThread::cleanup()
{
    // The module's code is left behind: count the worker out, and remove its
    // slot only while the request flow still exists.
    WorkerRegistry::instance().workerEnded(module, entryKind(), flow, [this] {
        if (servesRequest())
            flow->removeSlot(handle);
    });
    if (command.command_code == ORV_WORKER_READ) {
        PayloadPool::give(command.args.read.data);
        command.args.read.data = nullptr;
    }
}

bool StartWorker(RequestFlow* flow, const ModuleRecord& module, OrvEntryPoint entry, const WorkerCommand& command,
                 const WorkerReply& reply)
{
    PluginThread* worker = PluginThread::create(flow, module, entry, command, reply);
    return worker && worker->launch();
}

WorkerCommand ReadCommand(int32_t length, void* data, uint64_t requestId)
{
    WorkerCommand command = NewRecord<WorkerCommand>();
    command.command_code = ORV_WORKER_READ;
    ReadArgs& args = command.args.read;
    args = NewRecord<ReadArgs>();
    args.code = 0;
    args.on_worker = 1;
    args.length = length;
    args.data = data;
    args.request_id = requestId;
    return command;
}

WorkerReply ReadCommandReply()
{
    WorkerReply reply = NewRecord<WorkerReply>();
    reply.command_code = ORV_WORKER_READ;
    reply.reply.read = NewRecord<ReadReply>();
    return reply;
}

static WorkerCommand IoctlWorkerCommand()
{
    WorkerCommand command = NewRecord<WorkerCommand>();
    command.command_code = ORV_WORKER_IOCTL;
    IoctlArgs& args = command.args.ioctl;
    args = NewRecord<IoctlArgs>();
    args.code = ORV_IOCTL_WORKER;
    // Only the header of the nested reference is set: the call carries no payload.
    args.payload.size = 8;
    args.payload.version = 1;
    return command;
}

static WorkerReply IoctlWorkerReply()
{
    WorkerReply reply = NewRecord<WorkerReply>();
    reply.command_code = ORV_WORKER_IOCTL;
    IoctlReply& ioctl = reply.reply.ioctl;
    ioctl = NewRecord<IoctlReply>();
    ioctl.code = ORV_IOCTL_WORKER;
    ioctl.nested_size = 8;
    ioctl.nested_version = 1;
    return reply;
}

bool StartReadWorker(RequestFlow& flow, ModuleRecord& record)
{
    PluginThread* worker =
        PluginThread::create(&flow, record, record.Read, ReadCommand(0, nullptr, 0), ReadCommandReply());
    if (!worker)
        return false;
    record.read_worker = worker;
    if (worker->launch())
        return true;
    record.read_worker = nullptr;
    return false;
}

bool StartIoctlWorker(RequestFlow& flow, ModuleRecord& record)
{
    PluginThread* worker =
        PluginThread::create(&flow, record, record.IOCTL, IoctlWorkerCommand(), IoctlWorkerReply());
    if (!worker)
        return false;
    record.ioctl_worker = worker;
    if (worker->launch())
        return true;
    record.ioctl_worker = nullptr;
    return false;
}
