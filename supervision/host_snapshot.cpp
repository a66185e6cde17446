#include "supervision/host_snapshot.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "base/monotonic_clock.h"
#include "base/service_stats.h"
#include "supervision/scheduler.h"

namespace {

// Version 1 of each record ends at these offsets; a caller's record of that
// size is filled as version 1, a larger one as the current version.
constexpr uint32_t kSnapshotV1 = offsetof(HostSnapshot, memory_allocated);
constexpr uint32_t kModuleV1 = offsetof(ModuleCounters, open_code);

bool Acceptable(const HostSnapshot* snapshot)
{
    if (!snapshot || snapshot->size < kSnapshotV1 || snapshot->version == 0)
        return false;
    if (snapshot->module_capacity == 0)
        return true;
    return snapshot->modules && snapshot->module_size >= kModuleV1;
}

// The size filled for a caller's record of `size` and `version`.
uint32_t Filled(uint32_t size, uint32_t version, uint32_t v1Size, uint32_t currentSize)
{
    return version >= 2 && size >= currentSize ? currentSize : v1Size;
}

uint64_t Load(const Counter& counter)
{
    return counter.load(std::memory_order_relaxed);
}

void FillModuleFields(const ModuleStats& stats, ModuleCounters* out)
{
    out->module_id = stats.moduleId;
    std::memcpy(out->file_name, stats.fileName.data(), std::min(stats.fileName.size(), sizeof out->file_name - 1));
    out->sent_accepted = Load(stats.sentAccepted);
    out->sent_refused = Load(stats.sentRefused);
    out->sent_throttled = Load(stats.sentThrottled);
    out->sent_no_memory = Load(stats.sentNoMemory);
    out->sent_bytes = Load(stats.sentBytes);
    out->waiting = stats.waiting();
    out->write_messages = Load(stats.write.calls);
    out->write_bytes = Load(stats.writeBytes);
    out->notice_messages = Load(stats.notice.calls);
    out->notice_bytes = Load(stats.noticeBytes);
    out->holds_now = Load(stats.holdsNow);
    out->releases = Load(stats.releases);
    out->releases_unmatched = Load(stats.releasesUnmatched);
    out->write_ns_total = Load(stats.writeNsTotal);
    out->write_ns_max = Load(stats.writeNsMax);
    out->stalled_calls = Load(stats.stalledCalls);
    out->open_code = stats.openCode.load(std::memory_order_relaxed);
    out->opened = stats.opened.load(std::memory_order_relaxed) ? 1 : 0;
}

void FillModule(const ModuleStats& stats, ModuleCounters* out, uint32_t filled)
{
    ModuleCounters all;
    std::memset(&all, 0, sizeof all);
    FillModuleFields(stats, &all);
    all.size = filled;
    all.version = filled == sizeof all ? ORV_MODULE_COUNTERS_VERSION : 1;
    std::memcpy(out, &all, filled);
}

void FillService(const ServiceStats& stats, bool throttling, HostSnapshot* out, uint32_t filled)
{
    out->throttling = throttling ? 1 : 0;
    std::memset(out->reserved, 0, sizeof out->reserved);
    out->messages_queued = Load(stats.queued);
    out->messages_delivered = Load(stats.delivered);
    out->queue_depth = stats.depth();
    out->queue_depth_max = Load(stats.depthMax);
    out->queue_bytes = stats.depthBytes();
    out->throttling_changes = Load(stats.throttlingChanges);
    const int64_t started = stats.startedNs.load();
    out->uptime_ms = started ? static_cast<uint64_t>(MonotonicNowNs() - started) / 1000000 : 0;
    if (filled < sizeof *out)
        return;
    uint64_t allocated = 0;
    out->memory_allocated = SampleAllocatedBytes(&allocated) ? allocated : UINT64_MAX;
    out->memory_limit = SystemMemoryLimit();
}

}  // namespace

int32_t FillHostSnapshot(const ServiceStats& stats, bool throttling, HostSnapshot* snapshot)
{
    if (!Acceptable(snapshot))
        return -1;
    const uint32_t filled = Filled(snapshot->size, snapshot->version, kSnapshotV1, sizeof(HostSnapshot));
    // The module records follow the snapshot's version: a stride is all the
    // caller says of them.
    const uint32_t moduleFilled = filled == sizeof(HostSnapshot) && snapshot->module_size >= sizeof(ModuleCounters)
                                      ? sizeof(ModuleCounters)
                                      : kModuleV1;
    snapshot->size = filled;
    snapshot->version = filled == sizeof(HostSnapshot) ? ORV_HOST_SNAPSHOT_VERSION : 1;
    uint32_t count = 0;
    stats.forEach([&count, snapshot, moduleFilled](const ModuleStats& module) {
        if (count < snapshot->module_capacity) {
            char* record = reinterpret_cast<char*>(snapshot->modules) + size_t(count) * snapshot->module_size;
            FillModule(module, reinterpret_cast<ModuleCounters*>(record), moduleFilled);
        }
        ++count;
    });
    snapshot->module_count = count;
    FillService(stats, throttling, snapshot, filled);
    return 0;
}
