// The host interface a module finds on the main program with dlsym: the only
// symbols the executable exports (see exported_symbols.list).
#include <cstdint>

#include "core/core.h"
#include "supervision/module_metrics.h"

#define ORV_HOST_EXPORT extern "C" __attribute__((visibility("default")))

namespace {

// Runs `call` on the Core counted in like a module's callback, so a late
// call never reaches a destroyed Core; `absent` without a Core.
template <typename Result, typename Call>
Result WithCore(Result absent, Call call)
{
    Core* core = Core::AcquireInstance();
    const Result result = core ? call(*core) : absent;
    Core::ReleaseInstance();
    return result;
}

}  // namespace

ORV_HOST_EXPORT int32_t OrvHostSnapshot(HostSnapshot* snapshot)
{
    return WithCore<int32_t>(1, [snapshot](Core& core) { return core.FillSnapshot(snapshot); });
}

ORV_HOST_EXPORT int32_t OrvHostLog(const HostLogLine* line)
{
    return WithCore<int32_t>(1, [line](Core& core) { return core.WriteModuleLine(line); });
}

ORV_HOST_EXPORT int64_t OrvHostMetricDeclare(const MetricDeclaration* declaration)
{
    return WithCore<int64_t>(0, [declaration](Core& core) -> int64_t {
        if (!declaration)
            return ORV_METRIC_INVALID;
        return core.Running() ? ModuleMetrics::shared().declare(*declaration) : 0;
    });
}

// The per-packet path: the table outlives every Core, so no count-in.
ORV_HOST_EXPORT void OrvHostMetricSet(int64_t handle, double value)
{
    ModuleMetrics::shared().set(handle, value);
}

ORV_HOST_EXPORT void OrvHostMetricAdd(int64_t handle, double amount)
{
    ModuleMetrics::shared().add(handle, amount);
}

ORV_HOST_EXPORT int32_t OrvHostMetrics(MetricSnapshot* snapshot)
{
    return WithCore<int32_t>(1, [snapshot](Core&) { return ModuleMetrics::shared().read(snapshot); });
}
