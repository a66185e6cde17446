#include "modules/callback.h"

#include "core/core.h"
#include "core/thread_log.h"

extern "C" int32_t ModuleCallback(const Message* message, MessageResult* result)
{
    ThreadLog::attach();
    Core* core = Core::instance;
    if (!core) {
        result->result = ORV_RESULT_REFUSED;
        return 0;
    }
    return core->Dispatch(message, result);
}
