#include "modules/callback.h"

#include "core/core.h"
#include "core/thread_log.h"

extern "C" int32_t ModuleCallback(const Message* message, MessageResult* result)
{
    ThreadLog::attach();
    Core* core = Core::AcquireInstance();
    if (core)
        core->Dispatch(message, result);
    else
        result->result = ORV_RESULT_REFUSED;
    Core::ReleaseInstance();
    return 0;
}
