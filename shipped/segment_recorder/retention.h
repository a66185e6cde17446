/*
 * The recorded segments of every camera, oldest first, and the limits they
 * are kept within: an age and a byte count per camera and overall, and free
 * space on the file system. The oldest segments go first, fairly: beyond an
 * overall limit the camera holding the most bytes loses its oldest segment,
 * so no camera loses its history to another's bitrate. The open segments are
 * not in the list and never deleted.
 *
 * Deletions are counted and summed up on the log (host_services.h), a line
 * a minute at most. Writer thread only; not thread-safe.
 */
#ifndef ORVANTIS_SHIPPED_RETENTION_H
#define ORVANTIS_SHIPPED_RETENTION_H

#include <stdint.h>

typedef struct RetentionLimits {
    int64_t max_age_us;         /* 0: none; likewise below */
    int64_t max_bytes;          /* all cameras together */
    int64_t camera_max_age_us;
    int64_t camera_max_bytes;
    int64_t min_free_bytes;     /* on the recordings' file system */
} RetentionLimits;

#define RETENTION_CAMERAS 256

typedef struct RetainedSegment {
    char name[96];              /* "<camera>/<day>/<file>" below the directory */
    int camera;                 /* its index in Retention.cameras */
    int64_t start_us;           /* wall clock, from the name */
    int64_t bytes;
} RetainedSegment;

typedef struct RetainedCamera {
    char name[32];
    int64_t bytes;              /* of its segments in the list */
} RetainedCamera;

typedef struct Retention {
    const char* directory;
    RetentionLimits limits;
    RetainedSegment* segments;  /* oldest first */
    int count, capacity;
    RetainedCamera cameras[RETENTION_CAMERAS];
    int camera_count;
    int64_t bytes;
    unsigned long deleted;      /* since the start */
    int64_t deleted_bytes;
    unsigned long unreported;   /* deleted since the latest summary */
    int64_t unreported_bytes;
    int64_t reported_us;        /* monotonic time of the latest summary */
    void (*on_delete)(void* context, const char* name); /* told of each deletion, when set */
    void* context;
} Retention;

/* Lists the segments already in `directory` (which must outlive the object). */
void retention_start(Retention* retention, const char* directory, RetentionLimits limits);

/* Takes a finished segment ("<camera>/<day>/<file>" below the directory)
 * into the list. */
void retention_add(Retention* retention, const char* name, int64_t start_us, int64_t bytes);

/* Deletes the oldest segments beyond the limits at wall clock `now_us`. */
void retention_enforce(Retention* retention, int64_t now_us);

/* Deletes one segment to make room (a write found the disk full): the oldest
 * of the camera holding the most. 0 when nothing is left to delete. */
int retention_make_room(Retention* retention);

void retention_stop(Retention* retention);

/* The wall clock start of a segment named "YYYYMMDDTHHMMSS.mmmZ...", or -1. */
int64_t retention_start_of(const char* file_name);

#endif
