#include "base/thread_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <exception>

#include <wx/log.h>
#include <wx/strconv.h>
#include <wx/thread.h>
#include <wx/time.h>

#include "pt/fatal.h"
#include "pt/thread.h"

namespace ThreadLog {

namespace {

std::atomic<wxLog*> sharedTarget{nullptr};

// Long enough for any line of the service; longer ones are cut.
constexpr size_t kMaxRecord = 1024;

wxString RecordText(const char* bytes)
{
    return wxString(bytes, *wxConvFileName);
}

// The record as the library would pass it on, with time and thread filled in.
void Deliver(wxLog* target, wxLogLevel level, const char* text)
{
    wxLogRecordInfo info(__FILE__, __LINE__, __func__, "orvantis");
    info.timestampMS = wxGetUTCTimeMillis().GetValue();
#if WXWIN_COMPATIBILITY_3_0
    info.timestamp = std::time(nullptr);
#endif
    target->LogRecord(level, RecordText(text), info);
}

// Lines that could not be written for lack of memory since the last report.
std::atomic<uint64_t> lostLines{0};

// Writes one record; false when writing it ran out of memory. Never throws:
// a line about a failure must not become a failure of its own.
bool Write(wxLogLevel level, const char* text)
{
    try {
        if (wxThread::IsMain()) {
            wxLogGeneric(level, "%s", RecordText(text));
            return true;
        }
        wxLog* target = sharedTarget.load();
        if (target)
            Deliver(target, level, text);
        else
            std::fprintf(stderr, "%s\n", text);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

// Reports the lines lost so far, if any; the count stays for a later line
// when even the report cannot be written.
void ReportLost()
{
    const uint64_t lost = lostLines.exchange(0);
    if (!lost)
        return;
    char text[128];
    std::snprintf(text, sizeof text, "%llu log lines were lost for lack of memory",
                  static_cast<unsigned long long>(lost));
    if (!Write(wxLOG_Error, text))
        lostLines.fetch_add(lost);
}

// Writes a finished line, after the report of any lines lost before it.
void LogText(wxLogLevel level, const char* text)
{
    ReportLost();
    if (!Write(level, text))
        lostLines.fetch_add(1);
}

void Log(wxLogLevel level, const char* format, va_list arguments)
{
    // Formatted on the stack: only handing the line over may allocate.
    char text[kMaxRecord];
    std::vsnprintf(text, sizeof text, format, arguments);
    LogText(level, text);
}

// Reports an exception that ended one of the service's threads.
void ReportThreadFailure(const char* what)
{
    error("thread ended by an exception: %s", what);
}

// Says in the log, before the process exits, that the service cannot go on.
void ReportFatal(int code, const char* message)
{
    error("Internal [%04x]: %s; the service cannot go on and exits", static_cast<unsigned>(code), message);
}

}  // namespace

void setTarget(wxLog* target)
{
    sharedTarget.store(target);
    pt::setFailureReporter(&ReportThreadFailure);
    pt::setFatalReporter(&ReportFatal);
}

void reportLost()
{
    if (lostLines.load(std::memory_order_relaxed))
        ReportLost();
}

void error(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Log(wxLOG_Error, format, arguments);
    va_end(arguments);
}

void warning(const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    Log(wxLOG_Warning, format, arguments);
    va_end(arguments);
}

void record(unsigned long level, const char* text)
{
    LogText(level, text);
}

}  // namespace ThreadLog
