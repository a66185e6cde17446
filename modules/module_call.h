// The one door through which the service calls a module's entry points.
//
// Every call into a module (Load, Open, Close, Unload, Write, IOCTL, and the
// Read and IOCTL of its worker threads) goes through a function here, which
// builds the records the entry point takes, marks the thread as inside that
// entry point for the crash report (EntryCallScope), marks the call for the
// stall watchdog where a watched thread makes it (CallWatch), times it where
// it is reported, and applies the exception policy of CallEntryPoint. The
// callers keep what is theirs: the payload's holds, the module list, the
// workers' bookkeeping.
//
// Exception policy: a C++ module may let an exception out of an entry point.
// It is caught at the call, logged with the module and the entry point (at
// most one line a second), and the call counts as failed: its reply is not
// read. A thread cancellation passes through.
//
// Thread safety: a call touches the calling thread's EntryCall record, the
// CallWatch and WriteSampler it is given (the calling thread's own), and its
// module's counters (atomics); the record is the caller's to keep stable.
#pragma once

#include <cxxabi.h>

#include <cstdint>
#include <cstring>
#include <exception>
#include <string>

#include "base/call_watch.h"
#include "base/monotonic_clock.h"
#include "base/service_stats.h"
#include "base/write_sampler.h"
#include "modules/boundary_record.h"
#include "modules/entry_call.h"
#include "modules/module_api.h"
#include "modules/module_record.h"
#include "routing/message_api.h"

// Logs an exception that escaped `entry` of `module`: at most one line a
// second, which counts the exceptions held back before it. Never throws.
void ReportEntryException(const char* module, const char* entry, const char* what);

// Calls `function`, the entry point `entry` of `module`, inside an
// EntryCallScope. True when it returned, with its result in `*result`; false
// when an exception escaped it: the exception is reported and the call
// counts as failed (`*result` -1, the reply must not be read). Inline: the
// event handler makes one per delivery, and the try costs nothing while
// nothing is thrown.
inline bool CallEntryPoint(const std::string& module, const char* entry, OrvEntryPoint function, void* in,
                           void* out, int32_t* result = nullptr)
{
    int32_t rc = -1;
    bool returned = false;
    try {
        EntryCallScope call(module, entry);
        rc = function(in, out);
        returned = true;
    } catch (const abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        ReportEntryException(module.c_str(), entry, e.what());
    } catch (...) {
        ReportEntryException(module.c_str(), entry, "of unknown type");
    }
    if (result)
        *result = rc;
    return returned;
}

namespace ModuleCall {

// Load, timed into `record.load_time_ms`; `info` is what the module filled
// in. The result, -1 when Load threw.
// REQUIRES: `record.Load` not null.
int32_t Load(ModuleRecord& record, void* core, OrvCallback callback, ModuleInfo& info);

// Open, watched and timed into `record.open_time_ms`. The result, -1 when
// Open threw. REQUIRES: `record.Open` and `record.stats` not null.
int32_t Open(ModuleRecord& record, CallWatch& watch);

// Close, watched. REQUIRES: `record.Close` and `record.stats` not null.
void Close(ModuleRecord& record, CallWatch& watch);

// Unload. REQUIRES: `record.Unload` not null.
void Unload(ModuleRecord& record);

namespace detail {

// False when the Write threw: its reply is not read.
__attribute__((always_inline)) inline bool Write(const ModuleRecord& record, CallWatch& watch, WriteArgs& args,
                                                 WriteReply& reply)
{
    WatchedCall watched(watch, record.stats->write);
    return CallEntryPoint(record.file_name, "Write", record.Write, &args, &reply);
}

// The same, for a call the sampler times; kept apart so that the other calls
// carry no clock at all.
bool WriteTimed(const ModuleRecord& record, CallWatch& watch, WriteSampler& sampler, WriteArgs& args,
                WriteReply& reply);

}  // namespace detail

// Write of `message`, watched, counted, and timed when `sampler` says so.
// True when the module returned and keeps the payload. Always inline: the
// event handler makes one per delivery, and as a call of its own it cost
// about 13 instructions more (the registers it saves, its frame's guard).
// REQUIRES: `record.Write` and `record.stats` not null.
__attribute__((always_inline)) inline bool Write(const ModuleRecord& record, CallWatch& watch, WriteSampler& sampler,
                                                 const Message& message)
{
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
    if (message.data)
        Bump(record.stats->writeBytes, static_cast<uint32_t>(message.length));
    const bool returned = sampler.due() ? detail::WriteTimed(record, watch, sampler, args, reply)
                                        : detail::Write(record, watch, args, reply);
    return returned && reply.keeps_buffer != 0;
}

// The payload notice through IOCTL with sub-code `code`: the payload only;
// watched and counted. True when the module returned and keeps the payload.
// REQUIRES: `record.IOCTL` and `record.stats` not null.
bool NotifyPayload(const ModuleRecord& record, CallWatch& watch, const Message& message, uint32_t code);

// A worker thread's call of `entry` ("Read" or "IOCTL") of the module
// `fileName` with the records of its command. Not watched: a worker may run
// for as long as its module wants.
inline void OnWorker(const std::string& fileName, const char* entryName, OrvEntryPoint entry, void* args,
                     void* reply)
{
    CallEntryPoint(fileName, entryName, entry, args, reply);
}

}  // namespace ModuleCall
