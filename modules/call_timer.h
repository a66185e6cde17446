// Wall-clock timing of module calls, in milliseconds. Wall clock on purpose:
// the times are reported as the operator's clock saw them, so a clock step
// during a call shows in (and can make negative) the value.
#pragma once

#include <cstdint>

#include <wx/datetime.h>

class CallTimer {
public:
    CallTimer() : start(wxDateTime::UNow()) {}
    int64_t elapsedMs() const { return (wxDateTime::UNow() - start).GetMilliseconds().GetValue(); }

private:
    wxDateTime start;
};
