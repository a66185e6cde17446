#include "base/write_sampler.h"

#include "base/service_stats.h"

void WriteSampler::record(ModuleStats* module, int64_t ns)
{
    if (ns > 0) {
        Bump(module->writeNsTotal, static_cast<uint64_t>(ns) * kMeanInterval);
        RaiseMax(module->writeNsMax, static_cast<uint64_t>(ns));
    }
    state ^= state << 13;
    state ^= state >> 17;
    state ^= state << 5;
    countdown = 1 + state % (2 * kMeanInterval - 1);
}
