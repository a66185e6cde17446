#include "modules/module_call.h"

#include <wx/datetime.h>

#include "base/log_limiter.h"
#include "base/thread_log.h"

namespace {

// Wall-clock timing of Load and Open, in milliseconds. Wall clock on purpose:
// the times are reported as the operator's clock saw them, so a clock step
// during a call shows in (and can make negative) the value.
class CallTimer {
public:
    CallTimer() : start(wxDateTime::UNow()) {}
    int64_t elapsedMs() const { return (wxDateTime::UNow() - start).GetMilliseconds().GetValue(); }

private:
    wxDateTime start;
};

}  // namespace

void ReportEntryException(const char* module, const char* entry, const char* what)
{
    static LogLimiter limiter;
    uint64_t heldBack = 0;
    if (!limiter.allow(heldBack))
        return;
    ThreadLog::error("plugin %s: %s threw an exception (%s); the call counts as failed%s", module, entry, what,
                     LogLimiter::HeldBackNote(heldBack).text);
}

namespace ModuleCall {

int32_t Load(ModuleRecord& record, void* core, OrvCallback callback, ModuleInfo& info)
{
    LoadArgs args = {sizeof(LoadArgs), ORV_LOAD_ARGS_VERSION, core, callback};
    info = NewRecord<ModuleInfo>(ORV_MODULE_INFO_VERSION);
    int32_t rc = -1;
    CallTimer timer;
    CallEntryPoint(record.file_name, "Load", record.Load, &args, &info, &rc);
    record.load_time_ms = timer.elapsedMs();
    return rc;
}

int32_t Open(ModuleRecord& record, CallWatch& watch)
{
    OpenArgs args = NewRecord<OpenArgs>();
    OpenReply reply = NewRecord<OpenReply>();
    CallTimer timer;
    int32_t code = -1;  // what an exception out of Open leaves
    {
        WatchedCall watched(watch, record.stats->open);
        CallEntryPoint(record.file_name, "Open", record.Open, &args, &reply, &code);
    }
    record.open_time_ms = timer.elapsedMs();
    return code;
}

void Close(ModuleRecord& record, CallWatch& watch)
{
    CloseArgs args = NewRecord<CloseArgs>();
    CloseReply reply = NewRecord<CloseReply>();
    WatchedCall watched(watch, record.stats->close);
    CallEntryPoint(record.file_name, "Close", record.Close, &args, &reply);
}

void Unload(ModuleRecord& record)
{
    UnloadArgs args = NewRecord<UnloadArgs>();
    UnloadReply reply = NewRecord<UnloadReply>();
    CallEntryPoint(record.file_name, "Unload", record.Unload, &args, &reply);
}

namespace detail {

__attribute__((noinline)) bool WriteTimed(const ModuleRecord& record, CallWatch& watch, WriteSampler& sampler,
                                          WriteArgs& args, WriteReply& reply)
{
    const int64_t start = MonotonicNowNs();
    const bool returned = Write(record, watch, args, reply);
    sampler.record(record.stats, MonotonicNowNs() - start);
    return returned;
}

}  // namespace detail

bool NotifyPayload(const ModuleRecord& record, CallWatch& watch, const Message& message, uint32_t code)
{
    IoctlArgs args = NewRecord<IoctlArgs>();
    args.code = code;
    args.payload = NewRecord<PayloadRef>();
    args.payload.length = message.length;
    args.payload.data = message.data;
    IoctlReply reply = NewRecord<IoctlReply>();
    reply.code = code;
    reply.nested_size = 8;
    reply.nested_version = 1;
    bool returned;
    {
        WatchedCall watched(watch, record.stats->notice);
        returned = CallEntryPoint(record.file_name, "IOCTL", record.IOCTL, &args, &reply);
    }
    if (message.data)
        Bump(record.stats->noticeBytes, static_cast<uint32_t>(message.length));
    return returned && reply.keeps_buffer != 0;
}

}  // namespace ModuleCall
