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
 * Two more groups of functions follow the snapshot, found the same way and
 * as optional: the host log (ORV_HOST_LOG_SYMBOL) and module metrics
 * (ORV_HOST_METRIC_*_SYMBOL). Each is described where it is declared.
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
#define ORV_HOST_SNAPSHOT_VERSION 2u
#define ORV_MODULE_COUNTERS_VERSION 2u

/* One loaded module's counters (408 bytes, version 2; version 1 ends at
 * stalled_calls, 400 bytes), counted from the end of its Load. Sends are messages the module sent under its own id
 * (source_id); request commands (source_id 0) and releases are not sends. */
typedef struct ModuleCounters {
    uint32_t size;                /* 408 */
    uint32_t version;             /* 2 */
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
    /* version 2 */
    int32_t open_code;            /* what its Open returned; 0 before the open pass */
    uint8_t opened;               /* nonzero once the open pass has called it */
    uint8_t reserved[3];          /* zero */
} ModuleCounters;
ORV_HOST_STATIC_ASSERT(sizeof(ModuleCounters) == 408, "ModuleCounters is 408 bytes");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, module_id) == 8, "module_id at 8");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, file_name) == 16, "file_name at 16");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, sent_accepted) == 272, "sent_accepted at 272");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, waiting) == 312, "waiting at 312");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, write_messages) == 320, "write_messages at 320");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, holds_now) == 352, "holds_now at 352");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, write_ns_total) == 376, "write_ns_total at 376");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, stalled_calls) == 392, "stalled_calls at 392");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, open_code) == 400, "open_code at 400");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(ModuleCounters, opened) == 404, "opened at 404");

/* The snapshot (104 bytes, version 2; version 1 ends at uptime_ms, 88
 * bytes). The caller sets the first six fields; the service fills the rest. */
typedef struct HostSnapshot {
    uint32_t size;                /* caller: 104 */
    uint32_t version;             /* caller: 2 */
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
    /* version 2 */
    uint64_t memory_allocated;    /* the allocated bytes that throttling compares with
                                     memory_limit; UINT64_MAX when not available */
    uint64_t memory_limit;        /* above it, video messages are refused */
} HostSnapshot;
ORV_HOST_STATIC_ASSERT(sizeof(HostSnapshot) == 104, "HostSnapshot is 104 bytes");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, modules) == 8, "modules at 8");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, module_capacity) == 16, "module_capacity at 16");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, module_size) == 20, "module_size at 20");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, module_count) == 24, "module_count at 24");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, throttling) == 28, "throttling at 28");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, messages_queued) == 32, "messages_queued at 32");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, queue_depth) == 48, "queue_depth at 48");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, uptime_ms) == 80, "uptime_ms at 80");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, memory_allocated) == 88, "memory_allocated at 88");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostSnapshot, memory_limit) == 96, "memory_limit at 96");

/* The function the service exports under ORV_HOST_SNAPSHOT_SYMBOL. */
typedef int32_t (*OrvHostSnapshotFn)(HostSnapshot* snapshot);

/* ---- The host log --------------------------------------------------------
 *
 * "OrvHostLog" writes one line to the service's own log: syslog in daemon
 * mode (at the level's priority, daemon facility), standard error in the
 * foreground. The line reads
 *
 *     plugin NAME ID 0x%08lX: TEXT
 *
 * with the module's file name and id as the service's own lines about the
 * module show them (during the module's Load, before the service knows the
 * id, the name is still that of the module being loaded). TEXT is bytes, not
 * NUL-terminated; a control byte (below 0x20, and 0x7F) and the backslash are
 * written as \xNN, so one call is one line. At most ORV_LOG_TEXT_MAX bytes
 * are kept.
 *
 * The call copies the line and returns: a writer of the service's own
 * delivers it, so a slow system logger never holds up the caller. Each module
 * may log a burst of ORV_LOG_BURST lines, then ORV_LOG_PER_SECOND lines a
 * second; the lines beyond are dropped and one later line of the service
 * says how many. Any thread, from the start of Load until Unload returns;
 * before the service starts and after it stops the call does nothing.
 *
 * Result: 0 when the line will be written; 2 when it was dropped (over the
 * rate); 1 when no service is running; -1 for a bad record or level.
 */
#define ORV_HOST_LOG_SYMBOL "OrvHostLog"
#define ORV_HOST_LOG_VERSION 1u
#define ORV_LOG_TEXT_MAX 1000u
#define ORV_LOG_BURST 50u
#define ORV_LOG_PER_SECOND 5u

/* Levels: the syslog priorities they are written at. */
#define ORV_LOG_ERROR 3u
#define ORV_LOG_WARNING 4u
#define ORV_LOG_NOTICE 5u
#define ORV_LOG_INFO 6u
#define ORV_LOG_DEBUG 7u

/* One line to log (32 bytes, version 1); the caller fills every field. */
typedef struct HostLogLine {
    uint32_t size;        /* 32 */
    uint32_t version;     /* 1 */
    uint64_t module_id;   /* the caller's own module id */
    const char* text;     /* `length` bytes; may be null when length is 0 */
    uint32_t length;
    uint32_t level;       /* ORV_LOG_ERROR .. ORV_LOG_DEBUG */
} HostLogLine;
ORV_HOST_STATIC_ASSERT(sizeof(HostLogLine) == 32, "HostLogLine is 32 bytes");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostLogLine, module_id) == 8, "module_id at 8");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostLogLine, text) == 16, "text at 16");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostLogLine, length) == 24, "length at 24");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(HostLogLine, level) == 28, "level at 28");

typedef int32_t (*OrvHostLogFn)(const HostLogLine* line);

/* ---- Module metrics ------------------------------------------------------
 *
 * A module declares each of its counters and gauges once
 * ("OrvHostMetricDeclare") and gets a handle; it then sets or adds to the
 * value through the handle ("OrvHostMetricSet", "OrvHostMetricAdd") as often
 * as it likes: an update is a check of the handle and one atomic operation,
 * with no lock and no call into the service's threads, cheap enough for
 * every packet. The service's metrics exporter serves them as
 * orvantis_<name>, with the labels module="<file name>" and id="0x<id>" and
 * the declared ones.
 *
 * Declaration rules, else the result is ORV_METRIC_INVALID:
 *  - name: [a-zA-Z_][a-zA-Z0-9_]*, shorter than ORV_METRIC_NAME_SIZE, led by
 *    the module's own prefix by convention ("video_source_packets_total");
 *    a counter's name ends in "_total"; a name keeps the type it was first
 *    declared with, by any module;
 *  - help: shorter than ORV_METRIC_HELP_SIZE bytes (null counts as empty);
 *  - up to ORV_METRIC_LABELS labels, each name as a metric name but not
 *    "module", "id" or led by "__", names distinct; values are bytes
 *    shorter than ORV_METRIC_LABEL_SIZE.
 * Declaring the same module id, name and labels again gives the same handle;
 * the value starts at 0. Declarations are taken from the start of Load until
 * the service stops (result 0 otherwise); at most ORV_METRIC_CAPACITY exist
 * at once (ORV_METRIC_FULL beyond). When the service stops every handle
 * becomes stale: an update through a stale or unknown handle does nothing.
 * Values are doubles; a counter should only grow.
 */
#define ORV_HOST_METRIC_DECLARE_SYMBOL "OrvHostMetricDeclare"
#define ORV_HOST_METRIC_SET_SYMBOL "OrvHostMetricSet"
#define ORV_HOST_METRIC_ADD_SYMBOL "OrvHostMetricAdd"
#define ORV_HOST_METRICS_SYMBOL "OrvHostMetrics"
#define ORV_METRIC_DECLARATION_VERSION 1u
#define ORV_METRIC_SNAPSHOT_VERSION 1u
#define ORV_METRIC_READING_VERSION 1u

#define ORV_METRIC_COUNTER 1u
#define ORV_METRIC_GAUGE 2u

#define ORV_METRIC_LABELS 4u
#define ORV_METRIC_NAME_SIZE 64u
#define ORV_METRIC_HELP_SIZE 128u
#define ORV_METRIC_LABEL_SIZE 64u
#define ORV_METRIC_CAPACITY 4096u

/* Declaration results that are not handles (a handle is positive). */
#define ORV_METRIC_INVALID (-1)
#define ORV_METRIC_FULL (-2)

/* One label of a declaration (16 bytes): NUL-terminated texts. */
typedef struct MetricLabel {
    const char* name;
    const char* value;
} MetricLabel;
ORV_HOST_STATIC_ASSERT(sizeof(MetricLabel) == 16, "MetricLabel is 16 bytes");

/* A declaration (104 bytes, version 1); the caller fills every field. */
typedef struct MetricDeclaration {
    uint32_t size;          /* 104 */
    uint32_t version;       /* 1 */
    uint64_t module_id;     /* the caller's own module id */
    const char* name;       /* NUL-terminated */
    const char* help;       /* NUL-terminated, or null */
    uint32_t type;          /* ORV_METRIC_COUNTER or ORV_METRIC_GAUGE */
    uint32_t label_count;   /* 0 .. ORV_METRIC_LABELS */
    MetricLabel labels[ORV_METRIC_LABELS];
} MetricDeclaration;
ORV_HOST_STATIC_ASSERT(sizeof(MetricDeclaration) == 104, "MetricDeclaration is 104 bytes");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricDeclaration, module_id) == 8, "module_id at 8");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricDeclaration, name) == 16, "name at 16");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricDeclaration, help) == 24, "help at 24");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricDeclaration, type) == 32, "type at 32");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricDeclaration, label_count) == 36, "label_count at 36");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricDeclaration, labels) == 40, "labels at 40");

/* One declared metric as read back (744 bytes, version 1): texts are
 * NUL-terminated copies. */
typedef struct MetricReading {
    uint32_t size;          /* 744 */
    uint32_t version;       /* 1 */
    uint64_t module_id;
    uint32_t type;
    uint32_t label_count;
    double value;
    char name[ORV_METRIC_NAME_SIZE];
    char help[ORV_METRIC_HELP_SIZE];
    char labels[ORV_METRIC_LABELS][2][ORV_METRIC_LABEL_SIZE];  /* [i][0] name, [i][1] value */
    uint64_t reserved;      /* zero */
} MetricReading;
ORV_HOST_STATIC_ASSERT(sizeof(MetricReading) == 744, "MetricReading is 744 bytes");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricReading, type) == 16, "type at 16");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricReading, value) == 24, "value at 24");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricReading, name) == 32, "name at 32");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricReading, help) == 96, "help at 96");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricReading, labels) == 224, "labels at 224");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricReading, reserved) == 736, "reserved at 736");

/* Every declared metric (32 bytes, version 1), read like the HostSnapshot:
 * the caller sets the first five fields and supplies room for `capacity`
 * readings; the service fills them in declaration order and sets
 * metric_count to the number declared (more than capacity: call again with
 * more room). Result: 0 when filled, 1 when no service is running, -1 for
 * records too small or of version 0. */
typedef struct MetricSnapshot {
    uint32_t size;          /* caller: 32 */
    uint32_t version;       /* caller: 1 */
    MetricReading* metrics; /* caller: room for `capacity` readings (null if 0) */
    uint32_t capacity;      /* caller */
    uint32_t metric_size;   /* caller: sizeof(MetricReading), the readings' stride */
    uint32_t metric_count;  /* service */
    uint32_t reserved;      /* zero */
} MetricSnapshot;
ORV_HOST_STATIC_ASSERT(sizeof(MetricSnapshot) == 32, "MetricSnapshot is 32 bytes");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricSnapshot, capacity) == 16, "capacity at 16");
ORV_HOST_STATIC_ASSERT(ORV_HOST_OFFSET(MetricSnapshot, metric_count) == 24, "metric_count at 24");

/* A handle (> 0), 0 when no service is running, or a negative result. */
typedef int64_t (*OrvHostMetricDeclareFn)(const MetricDeclaration* declaration);
typedef void (*OrvHostMetricSetFn)(int64_t handle, double value);
typedef void (*OrvHostMetricAddFn)(int64_t handle, double amount);
typedef int32_t (*OrvHostMetricsFn)(MetricSnapshot* snapshot);

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_SUPERVISION_HOST_API_H */
