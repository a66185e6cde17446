#include "core/thread_log.h"

#include <atomic>

#include <wx/log.h>
#include <wx/thread.h>

namespace ThreadLog {

namespace {

std::atomic<wxLog*> sharedTarget{nullptr};
thread_local bool attached = false;

}  // namespace

void setTarget(wxLog* target)
{
    sharedTarget.store(target);
}

void attach()
{
    if (attached || wxThread::IsMain())
        return;
    wxLog* target = sharedTarget.load();
    if (!target)
        return;
    wxLog::SetThreadActiveTarget(target);
    attached = true;
}

void detach()
{
    if (!attached)
        return;
    wxLog::SetThreadActiveTarget(nullptr);
    attached = false;
}

}  // namespace ThreadLog
