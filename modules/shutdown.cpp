#include "core/core.h"

bool Core::CloseModules()
{
    return true;
}

bool Core::UnloadModules()
{
    return true;
}
