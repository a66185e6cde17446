// The last word of a crashing process: one log line naming the fatal signal
// and the module entry point the crashing thread was in; outside any entry
// point, the module whose code it ran (a thread of the module's own), or
// else "in the service itself". Then the signal's default action, so that the
// core dump and the service manager's restart still happen.
//
// The handler runs in signal context and uses async-signal-safe calls only:
// it formats into stack buffers by hand and writes to standard error or, in
// daemon mode, sends a hand-built syslog record over a datagram socket opened
// at install time (the system log's own functions take locks). In daemon
// mode, a crash before the start-up status was sent also sends the launcher
// 128 + the signal number as the status, so that it ends at once.
//
// Thread safety: install and watchStartup run on the main thread before the
// Core starts. claimStartupStatus may race with the handler on any thread;
// exactly one of them wins.
#pragma once

#include <cstddef>

#include "modules/entry_call.h"

namespace CrashReport {

enum class Destination {
    StandardError,  // the foreground: one line on standard error
    SystemLog,      // the daemon: one record to /dev/log (the console if that fails)
};

// Installs the handler for SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, run
// on the thread's alternate signal stack, and gives the calling (main)
// thread one. Threads of the service's own have one from pt::thread; threads
// that modules create have none, and an overflow of their stacks ends the
// process without a report.
// REQUIRES: `identity` (the syslog tag) stays alive for the process's life.
void install(Destination destination, const char* identity);

// Makes the handler send the start-up status on `statusPipe` (the write end
// of the launcher's status pipe) unless claimStartupStatus was called first.
void watchStartup(int statusPipe);

// Takes the one start-up status for the caller; false when it is taken
// already (by an earlier call, or by a crash that reported it).
bool claimStartupStatus();

// The status a crash on `signal` reports to the launcher; a launcher that
// receives a value in this range knows the daemon crashed while starting.
int StartupStatus(int signal);
// The signal behind a start-up status, or 0 when `status` is no crash.
int SignalOfStatus(int status);
// "SIGSEGV", ... for the five fatal signals, otherwise null.
const char* SignalName(int signal);

// The report line without a line end, e.g. "Fatal signal 11 (SIGSEGV) in
// plugin x.so, entry point Write" (with no entry: "..., outside any entry
// point"), cut to fit `size` (which must be > 0); returns its length.
// Async-signal-safe.
size_t FormatLine(char* buffer, size_t size, int signal, const EntryCall& call);

}  // namespace CrashReport
