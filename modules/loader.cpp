#include "core/core.h"

bool Core::LoadModules()
{
    return !modules.empty();
}
