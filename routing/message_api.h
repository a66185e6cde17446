/*
 * The message interface: the Message record that modules send through the
 * callback, its result, the routing flags, and the records of the Write, Read
 * and IOCTL entry points. Compiles as C11 and as C++17; offsets are binding.
 *
 * Routing in brief: flag bit i (0x01..0x80) selects class_mask[i], 0x400
 * selects class_mask[8]. A selected mask matches an event when every bit of
 * the event's match key is in the mask. The key keeps the low 24 bits of the
 * event and moves the bits above them one place: left for delivery to Write
 * (event 0x1000002 -> key 0x2000002), right for open requests (event
 * 0x1000002 -> key 0x800002).
 */
#ifndef ORVANTIS_ROUTING_MESSAGE_API_H
#define ORVANTIS_ROUTING_MESSAGE_API_H

#include "modules/module_api.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Message flags. */
#define ORV_FLAG_CLASS(i) (UINT64_C(1) << (i)) /* i = 0..7: class_mask[i] takes part */
#define ORV_FLAG_CLASS8 UINT64_C(0x400)        /* class_mask[8] takes part */
#define ORV_FLAG_NOTIFY_OTHERS UINT64_C(0x100) /* IOCTL sub-code 2 to every module but the sender */
#define ORV_FLAG_NOTIFY_ALL UINT64_C(0x800)    /* IOCTL sub-code 3 to every module */
#define ORV_CMD_RELEASE UINT64_C(0x200)        /* whole value: release a kept payload */
#define ORV_CMD_CANCEL UINT64_C(0x1000)        /* whole value with source_id 0: cancel a request */
#define ORV_FLAG_VIDEO UINT64_C(0x01)          /* with ORV_EVENT_VIDEO_BIT: refused while throttling */

/* Events. */
#define ORV_EVENT_VIDEO_BIT UINT64_C(0x1000000)
#define ORV_EVENT_TEXT UINT64_C(0x1000002)     /* the Core's text notices (flags 0x40) */
#define ORV_EVENT_DOCUMENT UINT64_C(0x1000010) /* the Core's XML documents */

/* Values of MessageResult.result. */
#define ORV_RESULT_OK 0          /* queued, or the command was carried out */
#define ORV_RESULT_REFUSED 1     /* cancelled request, or not a request worker, or the Core is stopped */
#define ORV_RESULT_THROTTLED 5   /* video refused while memory is low */
#define ORV_RESULT_NO_MEMORY (-1) /* the payload could not be copied */

/* Sub-codes of IOCTL. */
#define ORV_IOCTL_WORKER 1u        /* the IOCTL worker's call */
#define ORV_IOCTL_NOTIFY_OTHERS 2u /* payload notice, flags 0x100 */
#define ORV_IOCTL_NOTIFY_ALL 3u    /* payload notice, flags 0x800 */

/* Command codes of worker threads. */
#define ORV_WORKER_READ 4u
#define ORV_WORKER_IOCTL 7u

/* A message (224 bytes, version 1), sent through the callback. The Core copies
 * what it keeps: the sender's record and payload may be reused at once. */
typedef struct Message {
    uint32_t size;        /* 224 */
    uint32_t version;     /* 1 */
    int32_t length;       /* payload length in bytes; 0 = no payload */
    uint32_t padding;
    void* data;           /* payload, or null */
    uint64_t source_id;   /* sender's module_id; 0 for a request command */
    uint64_t request_id;  /* request the message belongs to; 0 = none */
    uint64_t flags;       /* routing flags, above */
    uint64_t event;       /* event code, matched against class masks */
    uint8_t body[168];    /* carried unchanged to receivers */
} Message;
#define ORV_MESSAGE_VERSION 1u
ORV_STATIC_ASSERT(sizeof(Message) == 224, "Message is 224 bytes");
ORV_STATIC_ASSERT(offsetof(Message, length) == 0x08, "Message.length at 0x08");
ORV_STATIC_ASSERT(offsetof(Message, data) == 0x10, "Message.data at 0x10");
ORV_STATIC_ASSERT(offsetof(Message, source_id) == 0x18, "Message.source_id at 0x18");
ORV_STATIC_ASSERT(offsetof(Message, request_id) == 0x20, "Message.request_id at 0x20");
ORV_STATIC_ASSERT(offsetof(Message, flags) == 0x28, "Message.flags at 0x28");
ORV_STATIC_ASSERT(offsetof(Message, event) == 0x30, "Message.event at 0x30");
ORV_STATIC_ASSERT(offsetof(Message, body) == 0x38, "Message.body at 0x38");

/* The outcome of a send (12 bytes, version 1), supplied by the sender. */
typedef struct MessageResult {
    uint32_t size;        /* 12 */
    uint32_t version;     /* 1 */
    int32_t result;       /* ORV_RESULT_*, written by the Core */
} MessageResult;
ORV_STATIC_ASSERT(sizeof(MessageResult) == 12, "MessageResult is 12 bytes");
ORV_STATIC_ASSERT(offsetof(MessageResult, result) == 8, "MessageResult.result at 8");

/* Argument of Write (232 bytes, version 1): from offset 8 on, a Message. */
typedef struct WriteArgs {
    uint32_t size;        /* 232 */
    uint32_t version;     /* 1 */
    uint32_t code;        /* 0 */
    uint8_t on_worker;    /* 0: on the event-handler thread */
    uint8_t padding0[3];
    int32_t length;       /* the message's length */
    uint32_t padding1;
    void* data;           /* the shared payload (same pointer for every receiver), or null */
    uint64_t source_id;
    uint64_t request_id;
    uint64_t flags;
    uint64_t event;
    uint8_t body[168];
} WriteArgs;
ORV_STATIC_ASSERT(sizeof(WriteArgs) == 232, "WriteArgs is 232 bytes");
ORV_STATIC_ASSERT(offsetof(WriteArgs, code) == 0x08, "WriteArgs.code at 0x08");
ORV_STATIC_ASSERT(offsetof(WriteArgs, on_worker) == 0x0C, "WriteArgs.on_worker at 0x0C");
ORV_STATIC_ASSERT(offsetof(WriteArgs, length) == 0x10, "WriteArgs.length at 0x10");
ORV_STATIC_ASSERT(offsetof(WriteArgs, data) == 0x18, "WriteArgs.data at 0x18");
ORV_STATIC_ASSERT(offsetof(WriteArgs, source_id) == 0x20, "WriteArgs.source_id at 0x20");
ORV_STATIC_ASSERT(offsetof(WriteArgs, request_id) == 0x28, "WriteArgs.request_id at 0x28");
ORV_STATIC_ASSERT(offsetof(WriteArgs, flags) == 0x30, "WriteArgs.flags at 0x30");
ORV_STATIC_ASSERT(offsetof(WriteArgs, event) == 0x38, "WriteArgs.event at 0x38");
ORV_STATIC_ASSERT(offsetof(WriteArgs, body) == 0x40, "WriteArgs.body at 0x40");

/* Reply of Write (32 bytes, version 1). */
typedef struct WriteReply {
    uint32_t size;          /* 32 */
    uint32_t version;       /* 1 */
    uint32_t reserved[5];   /* zero on entry, not read */
    uint32_t keeps_buffer;  /* nonzero: the module keeps a hold and will send one release */
} WriteReply;
ORV_STATIC_ASSERT(sizeof(WriteReply) == 32, "WriteReply is 32 bytes");
ORV_STATIC_ASSERT(offsetof(WriteReply, keeps_buffer) == 0x1C, "WriteReply.keeps_buffer at 0x1C");

/* Argument of Read (40 bytes, version 1); Read always runs on a worker thread. */
typedef struct ReadArgs {
    uint32_t size;        /* 40 */
    uint32_t version;     /* 1 */
    uint32_t code;        /* 0 */
    uint8_t on_worker;    /* 1 */
    uint8_t padding0[3];
    int32_t length;       /* payload length, 0 without payload */
    uint32_t padding1;
    void* data;           /* the worker's private copy of the payload, or null */
    uint64_t request_id;  /* the request served, 0 for none */
} ReadArgs;
ORV_STATIC_ASSERT(sizeof(ReadArgs) == 40, "ReadArgs is 40 bytes");
ORV_STATIC_ASSERT(offsetof(ReadArgs, on_worker) == 0x0C, "ReadArgs.on_worker at 0x0C");
ORV_STATIC_ASSERT(offsetof(ReadArgs, length) == 0x10, "ReadArgs.length at 0x10");
ORV_STATIC_ASSERT(offsetof(ReadArgs, data) == 0x18, "ReadArgs.data at 0x18");
ORV_STATIC_ASSERT(offsetof(ReadArgs, request_id) == 0x20, "ReadArgs.request_id at 0x20");

/* Reply of Read (32 bytes, version 1); never read by the Core. */
typedef struct ReadReply {
    uint32_t size;          /* 32 */
    uint32_t version;       /* 1 */
    uint8_t reserved[24];
} ReadReply;
ORV_STATIC_ASSERT(sizeof(ReadReply) == 32, "ReadReply is 32 bytes");

/* A payload reference (24 bytes, version 1), nested in IoctlArgs. For the
 * IOCTL worker's call only size (8) and version are set. */
typedef struct PayloadRef {
    uint32_t size;        /* 24; 8 in the IOCTL worker's call */
    uint32_t version;     /* 1 */
    int32_t length;
    uint32_t padding;
    void* data;           /* the shared payload */
} PayloadRef;
ORV_STATIC_ASSERT(sizeof(PayloadRef) == 24, "PayloadRef is 24 bytes");
ORV_STATIC_ASSERT(offsetof(PayloadRef, length) == 0x08, "PayloadRef.length at 0x08");
ORV_STATIC_ASSERT(offsetof(PayloadRef, data) == 0x10, "PayloadRef.data at 0x10");

/* Argument of IOCTL (40 bytes, version 1). */
typedef struct IoctlArgs {
    uint32_t size;        /* 40 */
    uint32_t version;     /* 1 */
    uint32_t code;        /* ORV_IOCTL_* sub-code */
    uint32_t padding;
    PayloadRef payload;
} IoctlArgs;
ORV_STATIC_ASSERT(sizeof(IoctlArgs) == 40, "IoctlArgs is 40 bytes");
ORV_STATIC_ASSERT(offsetof(IoctlArgs, code) == 0x08, "IoctlArgs.code at 0x08");
ORV_STATIC_ASSERT(offsetof(IoctlArgs, payload) == 0x10, "IoctlArgs.payload at 0x10");

/* Reply of IOCTL (28 bytes, version 1). */
typedef struct IoctlReply {
    uint32_t size;            /* 28 */
    uint32_t version;         /* 1 */
    uint32_t code;            /* the sub-code of the call */
    uint32_t reserved;        /* 0, not read */
    uint32_t keeps_buffer;    /* payload notices: nonzero keeps a hold */
    uint32_t nested_size;     /* 8 */
    uint32_t nested_version;  /* 1 */
} IoctlReply;
ORV_STATIC_ASSERT(sizeof(IoctlReply) == 28, "IoctlReply is 28 bytes");
ORV_STATIC_ASSERT(offsetof(IoctlReply, keeps_buffer) == 0x10, "IoctlReply.keeps_buffer at 0x10");
ORV_STATIC_ASSERT(offsetof(IoctlReply, nested_size) == 0x14, "IoctlReply.nested_size at 0x14");
ORV_STATIC_ASSERT(offsetof(IoctlReply, nested_version) == 0x18, "IoctlReply.nested_version at 0x18");

/* A worker thread's command (248 bytes, version 1): the argument record of
 * the one call the worker makes. */
typedef struct WorkerCommand {
    uint32_t size;          /* 248 */
    uint32_t version;       /* 1 */
    uint32_t command_code;  /* ORV_WORKER_READ or ORV_WORKER_IOCTL */
    uint32_t padding;
    union {
        ReadArgs read;
        IoctlArgs ioctl;
        uint8_t bytes[232];
    } args;
} WorkerCommand;
ORV_STATIC_ASSERT(sizeof(WorkerCommand) == 248, "WorkerCommand is 248 bytes");
ORV_STATIC_ASSERT(offsetof(WorkerCommand, args) == 16, "WorkerCommand.args at 16");

/* A worker thread's reply (128 bytes, version 1). */
typedef struct WorkerReply {
    uint32_t size;          /* 128 */
    uint32_t version;       /* 1 */
    uint32_t command_code;  /* the same as the command's */
    uint32_t padding;
    union {
        ReadReply read;
        IoctlReply ioctl;
        uint8_t bytes[112];
    } reply;
} WorkerReply;
ORV_STATIC_ASSERT(sizeof(WorkerReply) == 128, "WorkerReply is 128 bytes");
ORV_STATIC_ASSERT(offsetof(WorkerReply, reply) == 16, "WorkerReply.reply at 16");

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_ROUTING_MESSAGE_API_H */
