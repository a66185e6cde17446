#include "core/thread_log.h"

#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <ctime>

#include <wx/log.h>
#include <wx/strconv.h>
#include <wx/thread.h>
#include <wx/time.h>

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

void LogText(wxLogLevel level, const char* text)
{
    if (wxThread::IsMain()) {
        wxLogGeneric(level, "%s", RecordText(text));
        return;
    }
    wxLog* target = sharedTarget.load();
    if (target)
        Deliver(target, level, text);
    else
        std::fprintf(stderr, "%s\n", text);
}

void Log(wxLogLevel level, const char* format, va_list arguments)
{
    char text[kMaxRecord];
    std::vsnprintf(text, sizeof text, format, arguments);
    LogText(level, text);
}

// Reports an exception that ended one of the service's threads; logging
// itself may run out of memory, and then the line goes to standard error.
void ReportThreadFailure(const char* what)
{
    try {
        error("thread ended by an exception: %s", what);
    } catch (...) {
        std::fprintf(stderr, "thread ended by an exception: %s\n", what);
    }
}

}  // namespace

void setTarget(wxLog* target)
{
    sharedTarget.store(target);
    pt::setFailureReporter(&ReportThreadFailure);
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
