/*
 * The recorder's side of routing/command_api.h: it pauses and resumes the
 * recording of a camera on command, answers every command it receives, and
 * tells other modules of each finished segment and each disk error.
 *
 * A paused camera's open segment is finished at its next packet; its packets
 * are then not written until it is resumed, when the next key frame starts a
 * new segment. A pause is kept by the camera's name, so a camera can be
 * paused before its first packet.
 *
 * Thread safety: recording_commands_start in Load; recording_commands_take
 * on the event-handler thread (Write); the others on the writer thread. The
 * set of paused cameras is the only state they share, under its own lock.
 */
#ifndef ORVANTIS_SHIPPED_RECORDING_COMMANDS_H
#define ORVANTIS_SHIPPED_RECORDING_COMMANDS_H

#include <stdint.h>

#include "modules/module_api.h"
#include "routing/message_api.h"

void recording_commands_start(OrvCallback send, uint64_t module_id);

/* 1 when the Write was a command (it is answered then), 0 for any other. */
int recording_commands_take(const WriteArgs* args);

/* Whether `camera` (NUL-terminated) is paused. */
int recording_commands_paused(const char* camera);

/* What the writer did: a segment complete on disk at `path`; a disk error
 * (`error` negative) on the segment at `path`. */
void recording_commands_finished(uint64_t source, const char* camera, const char* path, int64_t start_ms,
                                 int64_t length_ms, uint64_t bytes, unsigned long packets, unsigned long key_frames,
                                 unsigned long gaps);
void recording_commands_disk_error(uint64_t source, const char* camera, const char* path, int error);

#endif
