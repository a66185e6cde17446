#include "core/core.h"

bool Core::StartReadWorker(ModuleRecord&)
{
    return true;
}

bool Core::StartIoctlWorker(ModuleRecord&)
{
    return true;
}
