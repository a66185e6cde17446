// Log records from threads other than the main one.
//
// The logging library holds back a record logged on a secondary thread until
// the main thread flushes, and the main thread of the service sits blocked for
// the whole run. Every thread that runs the service's code (its own threads,
// workers, and module threads calling the callback) attaches itself here, so
// its records reach the active target at once, on that thread.
//
// Thread safety: setTarget runs on the main thread before the Core starts and
// after it stops; attach and detach act on the calling thread only. The
// target must accept records from any thread.
#pragma once

class wxLog;

namespace ThreadLog {

// The target that secondary threads log to; null sends them back to the
// library's default handling.
void setTarget(wxLog* target);
// Routes the calling thread's records to the target; once per thread, and a
// no-op on the main thread.
void attach();
// Undoes attach for the calling thread; call before a service thread ends.
void detach();

}  // namespace ThreadLog
