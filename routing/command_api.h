/*
 * Commands and recording events: how a module asks another to pause or
 * resume a camera's recording, how the module that acts answers, and how a
 * recorder tells others what it wrote. Records travel in Message.body, with
 * the sender's module_id as source_id, like the video records
 * (routing/video_api.h). Compiles as C11 and as C++17 and depends only on
 * <stdint.h>; offsets are binding. Records only grow: a receiver reads the
 * fields its size covers and ignores a version it does not know.
 *
 *   command (ModuleCommand): flags ORV_COMMAND_FLAGS, event
 *     ORV_EVENT_COMMAND, no payload. A module that can act on it puts
 *     ORV_COMMAND_KEY into class_mask[3] and answers every command it
 *     receives with one CommandAnswer, whether it acted or not.
 *
 *   answer (CommandAnswer): flags ORV_COMMAND_FLAGS, event
 *     ORV_EVENT_COMMAND_ANSWER, no payload; the command's sender puts
 *     ORV_COMMAND_ANSWER_KEY into class_mask[3]. `command_id` is the
 *     command's, so the sender pairs them; an answer to another sender's
 *     command carries an id it did not give out, and is ignored.
 *
 *   recording event (RecordingEvent): flags ORV_COMMAND_FLAGS, event
 *     ORV_EVENT_RECORDING, payload the segment's path (bytes, no NUL) or
 *     none; receivers put ORV_RECORDING_EVENT_KEY into class_mask[3].
 *
 * None of these is video: they are delivered while the service throttles.
 * Each of the three keys has a bit the others lack, so a mask holding one
 * never takes another (a mask holding two takes both).
 */
#ifndef ORVANTIS_ROUTING_COMMAND_API_H
#define ORVANTIS_ROUTING_COMMAND_API_H

#include <stdint.h>

#ifdef __cplusplus
#define ORV_COMMAND_STATIC_ASSERT(condition, text) static_assert(condition, text)
extern "C" {
#else
#define ORV_COMMAND_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif
#define ORV_COMMAND_OFFSET(type, field) __builtin_offsetof(type, field)

/* Routing: all three select class_mask[3]. */
#define ORV_COMMAND_FLAGS UINT64_C(0x08)
#define ORV_EVENT_COMMAND UINT64_C(0x1000800)
#define ORV_EVENT_COMMAND_ANSWER UINT64_C(0x1001000)
#define ORV_EVENT_RECORDING UINT64_C(0x1002000)
#define ORV_COMMAND_KEY UINT64_C(0x2000800)          /* for class_mask[3] */
#define ORV_COMMAND_ANSWER_KEY UINT64_C(0x2001000)   /* for class_mask[3] */
#define ORV_RECORDING_EVENT_KEY UINT64_C(0x2002000)  /* for class_mask[3] */

#define ORV_COMMAND_RECORD_VERSION 1u

/* ModuleCommand.command */
#define ORV_COMMAND_PAUSE_RECORDING 1u  /* stop recording `camera` until resumed */
#define ORV_COMMAND_RESUME_RECORDING 2u /* record `camera` again from its next key frame */

/* CommandAnswer.result */
#define ORV_COMMAND_DONE 0u            /* carried out (also when it was already so) */
#define ORV_COMMAND_UNKNOWN 1u         /* a command this module does not know */
#define ORV_COMMAND_BAD_CAMERA 2u      /* the camera's name cannot be a camera's */
#define ORV_COMMAND_NOT_POSSIBLE 3u    /* known, but it cannot be carried out now */

/* A command (56 bytes, version 1), in Message.body. */
typedef struct ModuleCommand {
    uint32_t size;          /* 56 */
    uint32_t version;       /* 1 */
    uint64_t command_id;    /* chosen by the sender, returned in the answer */
    uint32_t command;       /* ORV_COMMAND_PAUSE_RECORDING, ... */
    uint32_t reserved;      /* 0 */
    char camera[32];        /* the camera's name, NUL-terminated, as its video records give it */
} ModuleCommand;
ORV_COMMAND_STATIC_ASSERT(sizeof(ModuleCommand) == 56, "ModuleCommand is 56 bytes");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(ModuleCommand, version) == 4, "ModuleCommand.version at 4");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(ModuleCommand, command_id) == 8, "ModuleCommand.command_id at 8");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(ModuleCommand, command) == 16, "ModuleCommand.command at 16");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(ModuleCommand, camera) == 24, "ModuleCommand.camera at 24");

/* The answer to a command (64 bytes, version 1), in Message.body. */
typedef struct CommandAnswer {
    uint32_t size;          /* 64 */
    uint32_t version;       /* 1 */
    uint64_t command_id;    /* the command's */
    uint32_t command;       /* the command's */
    uint32_t result;        /* ORV_COMMAND_DONE, ... */
    uint32_t recording;     /* after the command: 1 the camera is recorded, 0 paused */
    uint32_t reserved;      /* 0 */
    char camera[32];        /* the command's, NUL-terminated */
} CommandAnswer;
ORV_COMMAND_STATIC_ASSERT(sizeof(CommandAnswer) == 64, "CommandAnswer is 64 bytes");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(CommandAnswer, command_id) == 8, "CommandAnswer.command_id at 8");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(CommandAnswer, result) == 20, "CommandAnswer.result at 20");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(CommandAnswer, recording) == 24, "CommandAnswer.recording at 24");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(CommandAnswer, camera) == 32, "CommandAnswer.camera at 32");

/* RecordingEvent.kind */
#define ORV_RECORDING_SEGMENT_FINISHED 1u /* a segment is complete on disk; payload its path */
#define ORV_RECORDING_DISK_ERROR 2u       /* a segment could not be started, written or finished;
                                             payload its path; once until a segment finishes again */

/* What a recorder did (96 bytes, version 1), in Message.body. */
typedef struct RecordingEvent {
    uint32_t size;          /* 96 */
    uint32_t version;       /* 1 */
    uint32_t kind;          /* ORV_RECORDING_SEGMENT_FINISHED, ORV_RECORDING_DISK_ERROR */
    int32_t error;          /* disk errors: the negative error code (an FFmpeg or -errno value); else 0 */
    uint64_t source;        /* the camera's source number, as in its video records */
    int64_t start_ms;       /* the segment's start, wall clock (Unix epoch, milliseconds) */
    int64_t length_ms;      /* its length; 0 for a disk error */
    uint64_t bytes;         /* its size on disk; 0 for a disk error */
    uint64_t packets;       /* packets written into it */
    uint32_t key_frames;
    uint32_t gaps;          /* places within it where packets were lost */
    char camera[32];        /* the camera's name, NUL-terminated */
} RecordingEvent;
ORV_COMMAND_STATIC_ASSERT(sizeof(RecordingEvent) == 96, "RecordingEvent is 96 bytes");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, kind) == 8, "RecordingEvent.kind at 8");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, error) == 12, "RecordingEvent.error at 12");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, source) == 16, "RecordingEvent.source at 16");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, start_ms) == 24, "RecordingEvent.start_ms at 24");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, length_ms) == 32, "RecordingEvent.length_ms at 32");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, bytes) == 40, "RecordingEvent.bytes at 40");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, packets) == 48, "RecordingEvent.packets at 48");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, key_frames) == 56, "RecordingEvent.key_frames at 56");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, gaps) == 60, "RecordingEvent.gaps at 60");
ORV_COMMAND_STATIC_ASSERT(ORV_COMMAND_OFFSET(RecordingEvent, camera) == 64, "RecordingEvent.camera at 64");

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_ROUTING_COMMAND_API_H */
