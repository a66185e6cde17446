#include "core/callback.h"

#include "core/core.h"

extern "C" int32_t ModuleCallback(const Message* message, MessageResult* result)
{
    Core* core = Core::AcquireInstance();
    if (core)
        core->Dispatch(message, result);
    else
        result->result = ORV_RESULT_REFUSED;
    Core::ReleaseInstance();
    return 0;
}
