/*
 * The index of the recordings: an SQLite database "index.sqlite" (write-ahead
 * log) in the recordings' directory with a row per finished segment, which
 * the orvantis-recordings tool reads to find a moment:
 *
 *   segments(camera TEXT, start_ms INTEGER, end_ms INTEGER, path TEXT UNIQUE,
 *            bytes INTEGER, key_frames INTEGER, gaps INTEGER)
 *
 * Times are wall clock, UTC milliseconds since the Unix epoch; path is below
 * the directory ("<camera>/<day>/<file>"); gaps counts the places inside the
 * segment where packets were lost. On start the index is made to agree with
 * the files: rows of vanished files go, files without a row (the segment open
 * at a crash, a deleted or damaged database) are read and added.
 *
 * Writer thread only. Failures are reported once and leave the recording
 * alone: the index is a help to find footage, never a reason to lose it.
 */
#ifndef ORVANTIS_SHIPPED_SEGMENT_INDEX_H
#define ORVANTIS_SHIPPED_SEGMENT_INDEX_H

#include <stdint.h>

#include "retention.h"

#define SEGMENT_INDEX_FILE "index.sqlite"

typedef struct SegmentIndexRow {
    const char* camera;
    const char* path;        /* below the directory */
    int64_t start_ms;
    int64_t end_ms;
    int64_t bytes;
    long key_frames;
    long gaps;
} SegmentIndexRow;

typedef struct SegmentIndex {
    struct sqlite3* db;      /* null when the index could not be opened */
    const char* directory;
    int failing;             /* a failure was reported */
} SegmentIndex;

/* Opens (or makes, or makes again when damaged) the index in `directory`
 * and brings it in line with the segments `retention` found there. */
void segment_index_open(SegmentIndex* index, const char* directory, const Retention* retention);

void segment_index_add(SegmentIndex* index, const SegmentIndexRow* row);
void segment_index_remove(SegmentIndex* index, const char* path);
void segment_index_close(SegmentIndex* index);

#endif
