// Captures the records of the wx log functions for the lifetime of the object
// and restores the previous target afterwards.
//
// Thread safety: records may arrive from any thread that logs straight to the
// active target; the accessors may be called from any thread.
#pragma once

#include <wx/log.h>

#include <mutex>
#include <string>
#include <vector>

namespace testmodule {

class LogCapture : public wxLog {
public:
    struct Record {
        wxLogLevel level;
        std::string text;  // UTF-8
    };

    LogCapture() { previous = wxLog::SetActiveTarget(this); }
    ~LogCapture() override { wxLog::SetActiveTarget(previous); }

    std::vector<Record> records()
    {
        std::lock_guard<std::mutex> guard(lock);
        return captured;
    }

    // The texts of the records at `level`.
    std::vector<std::string> texts(wxLogLevel level)
    {
        std::vector<std::string> out;
        for (const Record& record : records())
            if (record.level == level)
                out.push_back(record.text);
        return out;
    }

protected:
    void DoLogRecord(wxLogLevel level, const wxString& message, const wxLogRecordInfo&) override
    {
        std::lock_guard<std::mutex> guard(lock);
        captured.push_back({level, std::string(message.utf8_str())});
    }

private:
    wxLog* previous;
    std::mutex lock;
    std::vector<Record> captured;
};

}  // namespace testmodule
