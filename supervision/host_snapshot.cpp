#include "supervision/host_snapshot.h"

#include <algorithm>
#include <cstring>

#include "core/core.h"
#include "supervision/monotonic_clock.h"

namespace {

constexpr uint32_t kSnapshotFilled = sizeof(HostSnapshot);
constexpr uint32_t kModuleFilled = sizeof(ModuleCounters);

bool Acceptable(const HostSnapshot* snapshot)
{
    if (!snapshot || snapshot->size < kSnapshotFilled || snapshot->version == 0)
        return false;
    if (snapshot->module_capacity == 0)
        return true;
    return snapshot->modules && snapshot->module_size >= kModuleFilled;
}

uint64_t Load(const Counter& counter)
{
    return counter.load(std::memory_order_relaxed);
}

void FillModule(const ModuleStats& stats, ModuleCounters* out)
{
    std::memset(out, 0, kModuleFilled);
    out->size = kModuleFilled;
    out->version = ORV_MODULE_COUNTERS_VERSION;
    out->module_id = stats.moduleId;
    std::memcpy(out->file_name, stats.fileName.data(), std::min(stats.fileName.size(), sizeof out->file_name - 1));
    out->sent_accepted = Load(stats.sentAccepted);
    out->sent_refused = Load(stats.sentRefused);
    out->sent_throttled = Load(stats.sentThrottled);
    out->sent_no_memory = Load(stats.sentNoMemory);
    out->sent_bytes = Load(stats.sentBytes);
    out->waiting = stats.waiting();
    out->write_messages = Load(stats.writeMessages);
    out->write_bytes = Load(stats.writeBytes);
    out->notice_messages = Load(stats.noticeMessages);
    out->notice_bytes = Load(stats.noticeBytes);
    out->holds_now = Load(stats.holdsNow);
    out->releases = Load(stats.releases);
    out->releases_unmatched = Load(stats.releasesUnmatched);
    out->write_ns_total = Load(stats.writeNsTotal);
    out->write_ns_max = Load(stats.writeNsMax);
    out->stalled_calls = Load(stats.stalledCalls);
}

void FillService(const Core& core, HostSnapshot* out)
{
    const ServiceStats& stats = core.stats;
    out->throttling = core.throttling.load() ? 1 : 0;
    std::memset(out->reserved, 0, sizeof out->reserved);
    out->messages_queued = Load(stats.queued);
    out->messages_delivered = Load(stats.delivered);
    out->queue_depth = stats.depth();
    out->queue_depth_max = Load(stats.depthMax);
    out->queue_bytes = stats.depthBytes();
    out->throttling_changes = Load(stats.throttlingChanges);
    const int64_t started = stats.startedNs.load();
    out->uptime_ms = started ? static_cast<uint64_t>(MonotonicNowNs() - started) / 1000000 : 0;
}

}  // namespace

int32_t FillHostSnapshot(const Core& core, HostSnapshot* snapshot)
{
    if (!Acceptable(snapshot))
        return -1;
    snapshot->size = kSnapshotFilled;
    snapshot->version = ORV_HOST_SNAPSHOT_VERSION;
    uint32_t count = 0;
    core.stats.forEach([&count, snapshot](const ModuleStats& stats) {
        if (count < snapshot->module_capacity) {
            char* record = reinterpret_cast<char*>(snapshot->modules) + size_t(count) * snapshot->module_size;
            FillModule(stats, reinterpret_cast<ModuleCounters*>(record));
        }
        ++count;
    });
    snapshot->module_count = count;
    FillService(core, snapshot);
    return 0;
}
