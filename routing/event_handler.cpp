#include "core/core.h"

bool Core::StartEventHandler()
{
    return true;
}

bool Core::StopEventHandler()
{
    return true;
}

void Core::DrainEvents() {}
