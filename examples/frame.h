/*
 * The frame format shared by the example camera and recorder: a small header
 * followed by generated picture bytes. The recorder writes frames to its
 * segment file exactly as they arrive, so a segment is a sequence of these.
 */
#ifndef ORVANTIS_EXAMPLES_FRAME_H
#define ORVANTIS_EXAMPLES_FRAME_H

#include <stdint.h>

#include "routing/message_api.h"

#define FRAME_MAGIC UINT32_C(0x4D415246) /* "FRAM" */
#define FRAME_PIXELS 1024                /* picture bytes per frame */

/* The camera's frames: video (refused while the service throttles), matched
 * by the recorder's class_mask[0]. The event is the examples' own: its key
 * shares no low bit with the video packets' (routing/video_api.h), so neither
 * a video receiver nor the example recorder takes the other's frames. */
#define FRAME_FLAGS ORV_FLAG_VIDEO
#define FRAME_EVENT UINT64_C(0x1000400)
/* The delivery key of FRAME_EVENT: the bits above the low 24 move up one. */
#define FRAME_MATCH_MASK UINT64_C(0x2000400)

typedef struct FrameHeader {
    uint32_t magic;     /* FRAME_MAGIC */
    uint32_t sequence;  /* 0, 1, 2, ... in the order the camera made them */
    uint32_t length;    /* bytes after the header */
    uint32_t checksum;  /* sum of the picture bytes */
} FrameHeader;

#endif
