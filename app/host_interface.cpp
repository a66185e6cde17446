// The host interface a module finds on the main program with dlsym: the only
// symbol the executable exports (see exported_symbols.list).
#include <cstdint>

#include "core/core.h"
#include "supervision/host_snapshot.h"

extern "C" __attribute__((visibility("default"))) int32_t OrvHostSnapshot(HostSnapshot* snapshot)
{
    // Counted in like a module's callback, so a late call never reads a
    // destroyed Core.
    Core* core = Core::AcquireInstance();
    const int32_t result = core ? FillHostSnapshot(*core, snapshot) : 1;
    Core::ReleaseInstance();
    return result;
}
