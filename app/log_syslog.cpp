#include "app/log_syslog.h"

#include <syslog.h>

namespace {

// Indexed by wx level, wxLOG_FatalError (0) to wxLOG_Trace (7). Status sits
// above Message on purpose: it is the more prominent of the two.
const int kPriorities[] = {
    LOG_CRIT,     // wxLOG_FatalError
    LOG_ERR,      // wxLOG_Error
    LOG_WARNING,  // wxLOG_Warning
    LOG_INFO,     // wxLOG_Message
    LOG_NOTICE,   // wxLOG_Status
    LOG_INFO,     // wxLOG_Info
    LOG_DEBUG,    // wxLOG_Debug
    LOG_DEBUG,    // wxLOG_Trace
};

}  // namespace

wxLogSyslog::wxLogSyslog(const char* identity)
    : ident(identity ? identity : "")
{
    Reopen();
}

wxLogSyslog::~wxLogSyslog()
{
    closelog();
}

void wxLogSyslog::Reopen()
{
    openlog(ident.c_str(), LOG_CONS | LOG_PID, LOG_DAEMON);
}

int wxLogSyslog::Priority(wxLogLevel level)
{
    const wxLogLevel count = sizeof(kPriorities) / sizeof(kPriorities[0]);
    return level < count ? kPriorities[level] : LOG_INFO;
}

void wxLogSyslog::DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo&)
{
    syslog(Priority(level), "%s", static_cast<const char*>(msg.utf8_str()));
}
