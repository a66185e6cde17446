#include "disk_fault.h"

#include <libavutil/error.h>

#include "../common/host_services.h"

int disk_fault_raise(DiskFault* fault, int camera, const char* what, const char* name, int error,
                     unsigned long lost)
{
    const uint64_t bit = UINT64_C(1) << camera;
    if (!fault->failing) {
        char reason[AV_ERROR_MAX_STRING_SIZE];
        av_strerror(error, reason, sizeof reason);
        host_log(ORV_LOG_ERROR, "%s %s: %s", what, name, reason);
        fault->lost_before = lost;
    }
    const int first = !(fault->failing & bit);
    fault->failing |= bit;
    return first;
}

void disk_fault_clear(DiskFault* fault, int camera, unsigned long lost)
{
    const uint64_t bit = UINT64_C(1) << camera;
    if (!(fault->failing & bit))
        return;
    fault->failing &= ~bit;
    if (!fault->failing)
        host_log(ORV_LOG_NOTICE, "writing again, %lu packets lost meanwhile", lost - fault->lost_before);
}
