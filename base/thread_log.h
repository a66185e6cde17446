// Log records from threads other than the main one.
//
// The logging library holds back a record logged on a secondary thread until
// the main thread flushes, and the main thread of the service sits blocked for
// the whole run. Routing a thread's records to a target through the library
// needs per-thread data of the library's own, which it frees only for threads
// it created itself: for the service's workers and module threads that would
// be kept for the life of the process, one block per thread that ever logged.
// So code that may run on any thread logs through the functions below: on the
// main thread they are the library's functions, on any other thread they hand
// the record straight to the target, without per-thread state.
//
// Logging never throws. A line that cannot be written for lack of memory is
// counted, and the count is reported before the next line that can be, so an
// out-of-memory path may log without risking a second failure.
//
// Thread safety: setTarget runs on the main thread before the Core starts and
// after it stops; error, warning and reportLost may be called from any
// thread. The target must accept records from any thread.
#pragma once

class wxLog;

namespace ThreadLog {

// The target that secondary threads log to; null writes their records to
// standard error. Also routes the reports of exceptions that end a thread
// (pt::thread) and of fatal failures of the threading primitives to the log,
// at error level.
void setTarget(wxLog* target);

// Reports the lines lost for lack of memory, if there are any; for a thread
// that may log nothing else for a while.
void reportLost();

// printf-style records at error and warning level. Arguments are bytes; any
// that are not UTF-8 stay readable.
void error(const char* format, ...) __attribute__((format(printf, 1, 2)));
void warning(const char* format, ...) __attribute__((format(printf, 1, 2)));
// A finished text at any level (a wxLogLevel), never used as a format.
void record(unsigned long level, const char* text);

}  // namespace ThreadLog
