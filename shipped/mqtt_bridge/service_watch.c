#define _GNU_SOURCE
#include "service_watch.h"

#include <dlfcn.h>
#include <string.h>

#include "bridge_messages.h"

#define WATCHED_MODULES 64

static OrvHostSnapshotFn snapshot_fn; /* set in Load; null: no host snapshot */

/* The bridge's thread only. */
static ModuleCounters modules[WATCHED_MODULES], previous[WATCHED_MODULES];
static uint32_t previous_count;
static int have_previous, was_throttling;
static uint64_t previous_queue_depth;

void service_watch_find(void)
{
    void* self = dlopen(NULL, RTLD_NOW);
    void* symbol = self ? dlsym(self, ORV_HOST_SNAPSHOT_SYMBOL) : NULL;
    memcpy(&snapshot_fn, &symbol, sizeof snapshot_fn); /* ISO C has no such cast */
    if (self)
        dlclose(self);
}

/* Whether what a module's state shows differs from its last publication. */
static int module_changed(const ModuleCounters* now, const ModuleCounters* before)
{
    return now->module_id != before->module_id || now->opened != before->opened ||
           now->open_code != before->open_code || now->stalled_calls != before->stalled_calls ||
           (now->waiting != 0) != (before->waiting != 0) || (now->holds_now != 0) != (before->holds_now != 0);
}

void service_watch_poll(int all)
{
    if (!snapshot_fn)
        return;
    HostSnapshot snapshot;
    memset(&snapshot, 0, sizeof snapshot);
    snapshot.size = sizeof snapshot;
    snapshot.version = ORV_HOST_SNAPSHOT_VERSION;
    snapshot.modules = modules;
    snapshot.module_capacity = WATCHED_MODULES;
    snapshot.module_size = sizeof modules[0];
    if (snapshot_fn(&snapshot) != 0)
        return;
    const int throttling = snapshot.throttling != 0;
    if (have_previous && throttling != was_throttling)
        bridge_messages_throttling(throttling);
    const uint32_t count = snapshot.module_count < WATCHED_MODULES ? snapshot.module_count : WATCHED_MODULES;
    if (all || !have_previous || throttling != was_throttling || count != previous_count ||
        (snapshot.queue_depth != 0) != (previous_queue_depth != 0))
        bridge_messages_service(&snapshot);
    for (uint32_t i = 0; i < count; ++i) {
        const int known = have_previous && i < previous_count && modules[i].module_id == previous[i].module_id;
        if (known && modules[i].stalled_calls > previous[i].stalled_calls)
            bridge_messages_stalled(&modules[i], modules[i].stalled_calls - previous[i].stalled_calls);
        if (all || !known || module_changed(&modules[i], &previous[i]))
            bridge_messages_module(&modules[i]);
    }
    memcpy(previous, modules, sizeof modules[0] * count);
    previous_count = count;
    previous_queue_depth = snapshot.queue_depth;
    was_throttling = throttling;
    have_previous = 1;
}
