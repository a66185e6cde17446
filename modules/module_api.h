/*
 * The module interface: what a plug-in module exports and the records of its
 * Load, Open, Close and Unload entry points.
 *
 * A module is a shared library exporting, under these exact C names, up to
 * eight entry points of one shape: "Load", "Unload", "Open", "Close", "Read",
 * "Write", "Seek" and "IOCTL". Each takes a pointer to an argument record that
 * the caller has filled in completely and a pointer to a reply record that the
 * caller has zero-filled and whose header it has set, and returns 0 on success.
 * Both records belong to the caller and live only for the duration of the call.
 *
 * Every record begins with u32 size (bytes) and u32 version. All records are
 * little-endian with natural x86-64 alignment; the offsets pinned below are
 * binding. This header compiles as C11 and as C++17 and depends only on the
 * standard integer and offset headers. The records of Read, Write and IOCTL
 * and the Message record are in routing/message_api.h.
 */
#ifndef ORVANTIS_MODULES_MODULE_API_H
#define ORVANTIS_MODULES_MODULE_API_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define ORV_STATIC_ASSERT(condition, text) static_assert(condition, text)
extern "C" {
#else
#define ORV_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif

/* The Core's own sender and holder id (source_id of the Core's messages). */
#define ORV_CORE_ID UINT64_C(0x80000000)
/* A module with this id is placed at the head of the module list. */
#define ORV_HEAD_MODULE_ID UINT64_C(0x60000)

/* The shape of every entry point: result = entry(in, out); 0 is success. */
typedef int32_t (*OrvEntryPoint)(void* in, void* out);

struct Message;
struct MessageResult;

/* The Core's message callback, handed to the module in LoadArgs. Any thread of
 * the module may call it from the start of Load until Unload returns. It always
 * returns 0; the outcome of the send is in result->result. */
typedef int32_t (*OrvCallback)(const struct Message* message, struct MessageResult* result);

/* Argument of Load (24 bytes, version 3). */
typedef struct LoadArgs {
    uint32_t size;        /* 24 */
    uint32_t version;     /* 3 */
    void* core;           /* the Core's address; opaque to the module */
    OrvCallback callback; /* how the module sends messages into the Core */
} LoadArgs;
#define ORV_LOAD_ARGS_VERSION 3u
ORV_STATIC_ASSERT(sizeof(LoadArgs) == 24, "LoadArgs is 24 bytes");
ORV_STATIC_ASSERT(offsetof(LoadArgs, core) == 8, "LoadArgs.core at 8");
ORV_STATIC_ASSERT(offsetof(LoadArgs, callback) == 16, "LoadArgs.callback at 16");

/* Reply of Load (112 bytes, version 1): the module's description. The Core
 * zero-fills it and sets size and version; the module fills in the rest. */
typedef struct ModuleInfo {
    uint32_t size;                /* 112 */
    uint32_t version;             /* 1 */
    uint64_t module_id;           /* unique among loaded modules; source_id of its messages */
    uint64_t class_mask[9];       /* event-class masks selected by the message flags;
                                     class_mask[5] is also the close-order key */
    uint64_t reserved0;           /* not read */
    uint8_t wants_ioctl_worker;   /* nonzero: IOCTL (sub-code 1) is called on a worker at once */
    uint8_t reserved1;            /* not read */
    uint8_t wants_read_worker;    /* nonzero: Read is called on worker threads */
    uint8_t accepts_write;        /* nonzero: matching events are delivered to Write */
    uint32_t reserved2;           /* not read */
    int32_t load_error;           /* nonzero refuses loading; the value is logged */
    uint32_t reserved3;           /* not read */
} ModuleInfo;
#define ORV_MODULE_INFO_VERSION 1u
ORV_STATIC_ASSERT(sizeof(ModuleInfo) == 112, "ModuleInfo is 112 bytes");
ORV_STATIC_ASSERT(offsetof(ModuleInfo, module_id) == 8, "module_id at 8");
ORV_STATIC_ASSERT(offsetof(ModuleInfo, class_mask) == 16, "class_mask at 16");
ORV_STATIC_ASSERT(offsetof(ModuleInfo, class_mask[5]) == 56, "class_mask[5] at 56");
ORV_STATIC_ASSERT(offsetof(ModuleInfo, reserved0) == 88, "reserved at 88");
ORV_STATIC_ASSERT(offsetof(ModuleInfo, wants_ioctl_worker) == 96, "wants_ioctl_worker at 96");
ORV_STATIC_ASSERT(offsetof(ModuleInfo, wants_read_worker) == 98, "wants_read_worker at 98");
ORV_STATIC_ASSERT(offsetof(ModuleInfo, accepts_write) == 99, "accepts_write at 99");
ORV_STATIC_ASSERT(offsetof(ModuleInfo, load_error) == 104, "load_error at 104");

/* Argument of Open (24 bytes, version 1): nothing but zeros. */
typedef struct OpenArgs {
    uint32_t size;          /* 24 */
    uint32_t version;       /* 1 */
    uint64_t reserved[2];   /* zero */
} OpenArgs;
ORV_STATIC_ASSERT(sizeof(OpenArgs) == 24, "OpenArgs is 24 bytes");

/* Reply of Open (16 bytes, version 1); the Core does not read it. */
typedef struct OpenReply {
    uint32_t size;          /* 16 */
    uint32_t version;       /* 1 */
    uint64_t reserved;      /* the module may write here */
} OpenReply;
ORV_STATIC_ASSERT(sizeof(OpenReply) == 16, "OpenReply is 16 bytes");

/* Argument of Close (12 bytes, version 1). */
typedef struct CloseArgs {
    uint32_t size;          /* 12 */
    uint32_t version;       /* 1 */
    int32_t reserved;       /* 0 */
} CloseArgs;
ORV_STATIC_ASSERT(sizeof(CloseArgs) == 12, "CloseArgs is 12 bytes");
ORV_STATIC_ASSERT(offsetof(CloseArgs, reserved) == 8, "CloseArgs.reserved at 8");

/* Reply of Close (12 bytes, version 1); not read back. */
typedef struct CloseReply {
    uint32_t size;          /* 12 */
    uint32_t version;       /* 1 */
    int32_t result;         /* 0 on entry */
} CloseReply;
ORV_STATIC_ASSERT(sizeof(CloseReply) == 12, "CloseReply is 12 bytes");
ORV_STATIC_ASSERT(offsetof(CloseReply, result) == 8, "CloseReply.result at 8");

/* Argument of Unload (8 bytes, version 1). */
typedef struct UnloadArgs {
    uint32_t size;          /* 8 */
    uint32_t version;       /* 1 */
} UnloadArgs;
ORV_STATIC_ASSERT(sizeof(UnloadArgs) == 8, "UnloadArgs is 8 bytes");

/* Reply of Unload (12 bytes, version 1); not read back. */
typedef struct UnloadReply {
    uint32_t size;          /* 12 */
    uint32_t version;       /* 1 */
    int32_t result;         /* 0 on entry */
} UnloadReply;
ORV_STATIC_ASSERT(sizeof(UnloadReply) == 12, "UnloadReply is 12 bytes");
ORV_STATIC_ASSERT(offsetof(UnloadReply, result) == 8, "UnloadReply.result at 8");

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_MODULES_MODULE_API_H */
