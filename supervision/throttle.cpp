#include "supervision/throttle.h"

#include "base/service_stats.h"
#include "routing/dispatcher.h"
#include "supervision/status_documents.h"

namespace {

// Low memory is announced as over only after this long without a low sample.
constexpr int64_t kThrottleHoldOffSeconds = 59;

const char* const kLowMemoryNotice = "available system memory is low, throttling video";
const char* const kMemoryOkNotice = "available system memory ok, not throttling video";

}  // namespace

void Throttle::update(bool low, int64_t now)
{
    if (dispatcher.setThrottling(low) != low)
        Bump(stats.throttlingChanges);
    if (low) {
        if (lowSince == 0) {
            dispatcher.sendText(kLowMemoryNotice);
            StatusDocuments::SendMemoryStatus(dispatcher, now);
        }
        lowSince = now;
    } else if (lowSince != 0 && now - lowSince > kThrottleHoldOffSeconds) {
        dispatcher.sendText(kMemoryOkNotice);
        StatusDocuments::SendMemoryStatus(dispatcher, lowSince);
        lowSince = 0;
    }
}
