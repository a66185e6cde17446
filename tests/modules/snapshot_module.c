/*
 * A module that reads the host interface, built as an outside author builds
 * one: C, against the installed headers only. It finds the snapshot function
 * at Load and, at Close (after the last delivery pass), writes what the
 * service reports to "<its own path>.snapshot":
 *
 *   absent                            the service exports no snapshot function
 *   checks small=<rc> partial=<ok|bad> count=<n>
 *   service <field>=<value> ...        the HostSnapshot fields
 *   module file=<name> id=0x<id> <field>=<value> ...   one line per module
 *
 * "small" is the answer to a HostSnapshot whose size is too small; "partial"
 * tells whether a call with room for one record filled that one and left the
 * next untouched. Module id 0x7100; it receives nothing.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "modules/module_api.h"
#include "routing/message_api.h"
#include "supervision/host_api.h"

#define EXPORT __attribute__((visibility("default")))

static OrvHostSnapshotFn snapshotFn;
static char dumpPath[4096];

static void FindSnapshot(void)
{
    void* self = dlopen(NULL, RTLD_NOW);
    void* symbol = self ? dlsym(self, ORV_HOST_SNAPSHOT_SYMBOL) : NULL;
    /* ISO C has no cast from an object pointer to a function pointer. */
    memcpy(&snapshotFn, &symbol, sizeof snapshotFn);
}

static int32_t Take(HostSnapshot* snapshot, ModuleCounters* modules, uint32_t capacity)
{
    memset(snapshot, 0, sizeof *snapshot);
    snapshot->size = sizeof *snapshot;
    snapshot->version = ORV_HOST_SNAPSHOT_VERSION;
    snapshot->modules = modules;
    snapshot->module_capacity = capacity;
    snapshot->module_size = sizeof(ModuleCounters);
    return snapshotFn(snapshot);
}

static void WriteChecks(FILE* out, uint32_t count)
{
    HostSnapshot snapshot;
    ModuleCounters two[2];
    memset(&snapshot, 0, sizeof snapshot);
    snapshot.size = 8;
    snapshot.version = ORV_HOST_SNAPSHOT_VERSION;
    const int32_t small = snapshotFn(&snapshot);
    memset(two, 0xAB, sizeof two);
    const int32_t rc = Take(&snapshot, two, 1);
    const unsigned char* second = (const unsigned char*)&two[1];
    int untouched = 1;
    for (size_t i = 0; i < sizeof two[1]; ++i)
        untouched &= second[i] == 0xAB;
    const int ok = rc == 0 && snapshot.module_count == count && (count == 0 || two[0].size == sizeof two[0]) &&
                   untouched;
    fprintf(out, "checks small=%d partial=%s count=%u\n", small, ok ? "ok" : "bad", count);
}

static void WriteService(FILE* out, const HostSnapshot* s)
{
    fprintf(out,
            "service size=%u version=%u queued=%llu delivered=%llu depth=%llu depth_max=%llu queue_bytes=%llu "
            "throttling=%u throttling_changes=%llu uptime_ms=%llu\n",
            s->size, s->version, (unsigned long long)s->messages_queued, (unsigned long long)s->messages_delivered,
            (unsigned long long)s->queue_depth, (unsigned long long)s->queue_depth_max,
            (unsigned long long)s->queue_bytes, s->throttling, (unsigned long long)s->throttling_changes,
            (unsigned long long)s->uptime_ms);
}

static void WriteModule(FILE* out, const ModuleCounters* m)
{
    fprintf(out,
            "module file=%s id=0x%llx sent_accepted=%llu sent_refused=%llu sent_throttled=%llu sent_no_memory=%llu "
            "sent_bytes=%llu waiting=%llu write_messages=%llu write_bytes=%llu notice_messages=%llu "
            "notice_bytes=%llu holds_now=%llu releases=%llu releases_unmatched=%llu write_ns_total=%llu "
            "write_ns_max=%llu stalled_calls=%llu\n",
            m->file_name, (unsigned long long)m->module_id, (unsigned long long)m->sent_accepted,
            (unsigned long long)m->sent_refused, (unsigned long long)m->sent_throttled,
            (unsigned long long)m->sent_no_memory, (unsigned long long)m->sent_bytes,
            (unsigned long long)m->waiting, (unsigned long long)m->write_messages,
            (unsigned long long)m->write_bytes, (unsigned long long)m->notice_messages,
            (unsigned long long)m->notice_bytes, (unsigned long long)m->holds_now,
            (unsigned long long)m->releases, (unsigned long long)m->releases_unmatched,
            (unsigned long long)m->write_ns_total, (unsigned long long)m->write_ns_max,
            (unsigned long long)m->stalled_calls);
}

static void WriteSnapshot(FILE* out)
{
    HostSnapshot snapshot;
    if (!snapshotFn) {
        fputs("absent\n", out);
        return;
    }
    Take(&snapshot, NULL, 0);
    const uint32_t count = snapshot.module_count;
    ModuleCounters* modules = calloc(count ? count : 1, sizeof *modules);
    if (!modules)
        return;
    WriteChecks(out, count);
    if (Take(&snapshot, modules, count) == 0) {
        WriteService(out, &snapshot);
        for (uint32_t i = 0; i < snapshot.module_count && i < count; ++i)
            WriteModule(out, &modules[i]);
    }
    free(modules);
}

EXPORT int32_t Load(void* in, void* out)
{
    (void)in;
    ModuleInfo* info = out;
    Dl_info self;
    if (dladdr((void*)&dumpPath, &self) && self.dli_fname)
        snprintf(dumpPath, sizeof dumpPath, "%s.snapshot", self.dli_fname);
    FindSnapshot();
    info->module_id = UINT64_C(0x7100);
    return 0;
}

EXPORT int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    FILE* file = fopen(dumpPath, "w");
    if (!file)
        return 0;
    WriteSnapshot(file);
    fclose(file);
    return 0;
}
