/*
 * The file a segment is written to, as the muxer's output. A write that
 * finds the disk full deletes the oldest recorded segment (retention.h) and
 * tries again, as long as anything is left to delete, so a full disk costs
 * old footage, not new. Closing a complete segment syncs it to the disk.
 *
 * Writer thread only.
 */
#ifndef ORVANTIS_SHIPPED_SEGMENT_FILE_H
#define ORVANTIS_SHIPPED_SEGMENT_FILE_H

#include <libavformat/avformat.h>

#include "retention.h"

/* Creates the file at `path` as the output of `output` (its pb, custom I/O).
 * 0, or a negative AVERROR. */
int segment_file_open(AVFormatContext* output, const char* path, Retention* retention);

/* Flushes and closes the output's file; `complete` syncs it to the disk
 * first. 0, or the first error of the file's writes, flush or sync. */
int segment_file_close(AVFormatContext* output, int complete);

#endif
