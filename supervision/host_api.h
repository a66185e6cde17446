/*
 * The host interface: what the service tells a module about itself. Optional
 * and additive; a module that does not use it needs nothing from it.
 *
 * The service exports one C function under the name ORV_HOST_SNAPSHOT_SYMBOL
 * ("OrvHostSnapshot"). A module finds it on the main program at run time:
 *
 *     OrvHostSnapshotFn snapshot;
 *     void* self = dlopen(NULL, RTLD_NOW);
 *     void* symbol = self ? dlsym(self, ORV_HOST_SNAPSHOT_SYMBOL) : NULL;
 *     memcpy(&snapshot, &symbol, sizeof snapshot);   (ISO C has no such cast)
 *
 * A null result means a service without the interface: the module carries on
 * without it. The function may be called from any thread of the module, from
 * the start of Load until Unload returns, as often as wanted; it takes no
 * lock that a module call holds and never calls into a module.
 *
 * The caller supplies the whole snapshot: the HostSnapshot record and room
 * for `module_capacity` ModuleCounters records. The function fills the
 * service's counters and one record per loaded module, in load order, and
 * sets module_count to the number of loaded modules; when that is more than
 * module_capacity only the first module_capacity records are filled, and the
 * caller may call again with more room. The counters count from the start of
 * the service and are read one by one, not as one atomic picture: a count may
 * be a message ahead of another.
 *
 * Result: 0 when filled; 1 when no service is running (nothing is filled);
 * -1 when a record is smaller than version 1 of it or its version is 0
 * (nothing is filled). A later version only adds fields at the end of a
 * record: the service fills what it knows and sets each record's size and
 * version to what it filled.
 *
 * Records are little-endian with natural x86-64 alignment; the offsets pinned
 * below are binding. Compiles as C11 and as C++17 and depends only on
 * <stdint.h>.
 */
#ifndef ORVANTIS_SUPERVISION_HOST_API_H
#define ORVANTIS_SUPERVISION_HOST_API_H

#include <stdint.h>

#ifdef __cplusplus
#define ORV_HOST_STATIC_ASSERT(condition, text) static_assert(condition, text)
extern "C" {
#else
#define ORV_HOST_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif
/* offsetof without <stddef.h>; both compilers of the platform provide it. */
#define ORV_HOST_OFFSET(type, field) __builtin_offsetof(type, field)

#define ORV_HOST_SNAPSHOT_SYMBOL "OrvHostSnapshot"
#define ORV_HOST_SNAPSHOT_VERSION 1u
#define ORV_MODULE_COUNTERS_VERSION 1u

/* One loaded module's counters (400 bytes, version 1), counted from the end
 * of its Load. Sends are messages the module sent under its own id
 * (source_id); request commands (source_id 0) and releases are not sends. */
typedef struct ModuleCounters {
    uint32_t size;                /* 400 */
    uint32_t version;             /* 1 */
    uint64_t module_id;           /* from its ModuleInfo */
    char file_name[256];          /* the module file's name, bytes, NUL-terminated */
    uint64_t sent_accepted;       /* sends answered 0 */
    uint64_t sent_refused;        /* sends answered 1 (service stopping, request cancelled) */
    uint64_t sent_throttled;      /* sends answered 5 (video while memory is low) */
    uint64_t sent_no_memory;      /* sends answered -1 */
    uint64_t sent_bytes;          /* payload bytes of the accepted sends */
    uint64_t waiting;             /* its accepted messages not yet delivered to every module */
    uint64_t write_messages;      /* messages delivered to it through Write */
    uint64_t write_bytes;         /* their payload bytes */
    uint64_t notice_messages;     /* payload notices delivered to it through IOCTL */
    uint64_t notice_bytes;        /* their payload bytes */
    uint64_t holds_now;           /* payloads it keeps now (keeps_buffer, not yet released) */
    uint64_t releases;            /* release commands (flags 0x200) it sent */
    uint64_t releases_unmatched;  /* of those, ones naming no payload it held */
    uint64_t write_ns_total;      /* time inside its Write, nanoseconds; sampled: about one
                                     call in 32 is timed and counts for 32 */
    uint64_t write_ns_max;        /* the longest Write seen: timed calls, and calls the
                                     watchdog saw running (to within 0.1 s) */
    uint64_t stalled_calls;       /* its calls on the service's own threads that ran over 2 s */
} ModuleCounters;
ORV_HOST_STATIC_ASSERT(sizeof(ModuleCounters) == 400, "ModuleCounters is 400 bytes");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, module_id) == 8, "module_id at 8");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, file_name) == 16, "file_name at 16");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, sent_accepted) == 272, "sent_accepted at 272");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, waiting) == 312, "waiting at 312");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, write_messages) == 320, "write_messages at 320");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, holds_now) == 352, "holds_now at 352");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, write_ns_total) == 376, "write_ns_total at 376");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, stalled_calls) == 392, "stalled_calls at 392");

/* The snapshot (88 bytes, version 1). The caller sets the first six fields;
 * the service fills the rest. */
typedef struct HostSnapshot {
    uint32_t size;                /* caller: 88 */
    uint32_t version;             /* caller: 1 */
    ModuleCounters* modules;      /* caller: room for module_capacity records (null if 0) */
    uint32_t module_capacity;     /* caller */
    uint32_t module_size;         /* caller: sizeof(ModuleCounters), the records' stride */
    uint32_t module_count;        /* service: modules loaded */
    uint8_t throttling;           /* service: nonzero while video messages are refused */
    uint8_t reserved[3];          /* zero */
    uint64_t messages_queued;     /* messages accepted into the event queue */
    uint64_t messages_delivered;  /* messages that went through their delivery pass */
    uint64_t queue_depth;         /* queued, not yet delivered */
    uint64_t queue_depth_max;     /* the highest queue_depth so far */
    uint64_t queue_bytes;         /* payload bytes of the queued, not yet delivered messages */
    uint64_t throttling_changes;  /* times the throttling state changed */
    uint64_t uptime_ms;           /* since the service started */
} HostSnapshot;
ORV_HOST_STATIC_ASSERT(sizeof(HostSnapshot) == 88, "HostSnapshot is 88 bytes");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, modules) == 8, "modules at 8");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, module_capacity) == 16, "module_capacity at 16");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, module_size) == 20, "module_size at 20");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, module_count) == 24, "module_count at 24");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, throttling) == 28, "throttling at 28");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, messages_queued) == 32, "messages_queued at 32");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, queue_depth) == 48, "queue_depth at 48");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, uptime_ms) == 80, "uptime_ms at 80");

/* The function the service exports under ORV_HOST_SNAPSHOT_SYMBOL. */
typedef int32_t (*OrvHostSnapshotFn)(HostSnapshot* snapshot);

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_SUPERVISION_HOST_API_H */
