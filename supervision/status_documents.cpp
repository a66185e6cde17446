#include "core/core.h"

bool Core::PublishModuleStatus()
{
    return true;
}

bool Core::ReadThrottleSetting()
{
    return true;
}

void Core::WriteCoreSettings(bool) {}

void Core::SendMemoryStatus(int64_t) {}
