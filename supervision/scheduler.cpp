#include "core/core.h"

bool Core::StartScheduler()
{
    return true;
}

bool Core::StopScheduler()
{
    return true;
}

void Core::UpdateThrottling(bool, int64_t) {}
