// A log target that turns every wx log record into one syslog record.
//
// The daemon installs one instance right after the fork; the launcher and the
// foreground mode keep the library's default target.
//
// Thread safety: records may arrive from any thread at once. The target keeps
// no state besides `ident`, which is fixed after construction, and makes one
// syslog call per record (syslog serialises them itself).
#pragma once

#include <string>

#include <wx/log.h>

class wxLogSyslog : public wxLog {
public:
    // Opens the system log with `identity` (null counts as empty), LOG_CONS,
    // LOG_PID and the daemon facility. Only one instance may exist at a time:
    // the system log has one identity per process.
    explicit wxLogSyslog(const char* identity);
    // Closes the system log.
    ~wxLogSyslog() override;
    wxLogSyslog(const wxLogSyslog&) = delete;
    wxLogSyslog& operator=(const wxLogSyslog&) = delete;

    // Opens the system log again with this target's settings. Needed after
    // any code that opened it under other settings and closed it, as
    // libdaemon's own error logging does.
    void Reopen();

    // The syslog priority of a wx log level; levels above wxLOG_Trace,
    // user-defined ones included, give LOG_INFO.
    static int Priority(wxLogLevel level);

protected:
    // Logs `msg` literally: it is never used as a format. The record's time
    // is ignored, syslog stamps its own.
    void DoLogRecord(wxLogLevel level, const wxString& msg, const wxLogRecordInfo& info) override;

private:
    // openlog keeps this pointer, so the text must stay unchanged and alive
    // for as long as the system log is open.
    const std::string ident;
};
