/*
 * Playback and download of what the segment recorder wrote: the segments of
 * a camera and a time range, found in the recorder's index ("index.sqlite"
 * in the recordings directory, opened read-only), remuxed without
 * re-encoding into one fragmented MP4 that is made as it is read.
 *
 * The video of a range starts at the key frame at or before its start and
 * stops before the first frame at or after its end. Its timeline starts at
 * 0 and follows the wall clock (segments keep their distance): a picture's
 * wall clock time is the origin plus its time in the file. A change of
 * stream parameters between segments ends the file there.
 *
 * Only files inside the recordings directory are ever opened: a path in the
 * index that is absolute, has a ".." part or leads (through a symbolic link)
 * outside is skipped.
 *
 * Thread safety: an export belongs to the one reply that reads it.
 */
#ifndef ORVANTIS_SHIPPED_RECORDING_EXPORT_H
#define ORVANTIS_SHIPPED_RECORDING_EXPORT_H

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#define RECORDING_INDEX_FILE "index.sqlite"

/* {"segments":[{"start_ms":N,"end_ms":N},...]} of the camera's segments that
 * overlap [from_ms, to_ms), malloc'ed; null when the index cannot be read. */
char* recording_list_json(const char* directory, const char* camera, int64_t from_ms, int64_t to_ms,
                          size_t* length);

/* Calls `each` with every camera name the index holds, in name order; false
 * when the index cannot be read. */
int recording_cameras(const char* directory, void (*each)(void* context, const char* camera), void* context);

typedef struct RecordingExport RecordingExport;

/* Null when nothing of the range is recorded or the index cannot be read.
 * Reads up to the first picture, so that the origin is known. */
RecordingExport* recording_export_open(const char* directory, const char* camera, int64_t start_ms, int64_t end_ms);

/* The wall clock (Unix milliseconds) of the file's time 0. */
int64_t recording_export_origin_ms(const RecordingExport* export);

/* Up to `size` bytes of the file; 0 at its end, -1 after a failure. */
ssize_t recording_export_read(RecordingExport* export, uint8_t* buffer, size_t size);

void recording_export_free(RecordingExport* export);

#endif
