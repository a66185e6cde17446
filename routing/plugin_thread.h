// Worker threads: one long-running entry-point call of a module (a Read, or
// the IOCTL call made when a module is accepted) on a detached thread that
// deletes itself when the call has returned.
//
// A worker carries private copies of its argument and reply records, and of
// the payload its Read argument points to, so whoever starts it may release
// its own buffers at once. A worker that serves a request (Read with a
// nonzero request id) registers a FlowSlot under its thread id for the length
// of the call; the dispatcher uses it to allow the worker one payload in
// flight and to refuse its messages once the request is cancelled.
//
// Thread safety: a worker touches only its own object, the module's entry
// point, and the Core's request flow (at registration and at clean-up). Its
// clean-up on the request flow runs through the WorkerRegistry, which skips
// it when the flow is gone.
//
// Invariants:
//  - Every started worker is counted live in the WorkerRegistry under its
//    module from before its thread exists until it has left the module's code.
//  - A FlowSlot is deleted only by its own worker, after its call returned.
//  - Nothing touches a started worker from outside: it may be gone already.
#pragma once

#include <cstdint>
#include <string>

#include "modules/module_api.h"
#include "pt/thread.h"
#include "routing/message_api.h"
#include "modules/worker_registry.h"

class RequestFlow;
struct ModuleRecord;

class PluginThread : public pt::thread {
public:
    // A worker that is not started yet, or null when `entry` is null or the
    // payload copy of a Read command cannot be allocated (the call would
    // otherwise run without the payload its request carries). The worker
    // keeps `module`'s library as its key in the WorkerRegistry and a copy of
    // its file name; the record itself may move or go while the call runs.
    static PluginThread* create(RequestFlow* flow, const ModuleRecord& module, OrvEntryPoint entry,
                                const WorkerCommand& command, const WorkerReply& reply);

    // Counts the worker in and starts its thread; false (the object deleted,
    // the failure logged) when the system would not create the thread or the
    // count ran out of memory. The object must not be touched afterwards.
    bool launch();

protected:
    void execute() override;
    void cleanup() override;

private:
    PluginThread(RequestFlow* flow, const ModuleRecord& module, OrvEntryPoint entry, const WorkerCommand& command,
                 const WorkerReply& reply);
    ~PluginThread() override;
    bool copyPayload();
    bool servesRequest() const;
    WorkerEntry entryKind() const;

    RequestFlow* flow;     // the Core's, where a request worker's slot lives; not owned
    OrvEntryPoint entry;   // the module entry point called once
    WorkerCommand command; // private copy; its argument record is handed to the entry
    WorkerReply reply;     // private copy; its reply record is handed to the entry
    const void* module;    // the module's key in the WorkerRegistry; never dereferenced
    std::string fileName;  // the module's file name, for the crash report
};

// Creates and starts a worker; false when none was started (see create and
// launch).
bool StartWorker(RequestFlow* flow, const ModuleRecord& module, OrvEntryPoint entry, const WorkerCommand& command,
                 const WorkerReply& reply);

// The records of a Read worker: command 4 with the given payload and request.
WorkerCommand ReadCommand(int32_t length, void* data, uint64_t requestId);
WorkerReply ReadCommandReply();

// A module's own long-running workers. Both store the thread in the record
// before starting it and return true; false (nothing started) when the
// module does not export the entry point.
bool StartReadWorker(RequestFlow& flow, ModuleRecord& record);
bool StartIoctlWorker(RequestFlow& flow, ModuleRecord& record);
