/*
 * One camera's live view: the compressed packets a source sends, copied
 * (never decoded) into fragmented MP4 in memory, and an HLS playlist of it
 * with low-latency parts.
 *
 * A segment starts at each key frame; within it a part ends once it holds
 * `part_ms` of video, so a player can start at the latest key frame and
 * follow the stream a part at a time. The window is bounded: the open segment
 * and at most `window_segments` finished ones, within `max_bytes` together;
 * the oldest go first. A segment that alone outgrows the bound is dropped up
 * to the next key frame.
 *
 * New stream parameters (a BEGIN), and timestamps that go back or jump ahead
 * by more than 10 s, start afresh at the next key frame: the window is
 * emptied and a new initialisation segment is made (its generation counts
 * up), while segment numbers go on counting, so no address is reused for
 * other bytes. Packets lost on the way (a gap in the sequence numbers) are
 * skipped up to the next key frame.
 *
 * Thread safety: every function takes the stream's own lock; the packet
 * functions run on the service's event-handler thread and only copy and mux
 * into memory, the readers (HTTP threads) copy out what they serve.
 */
#ifndef ORVANTIS_SHIPPED_LIVE_STREAM_H
#define ORVANTIS_SHIPPED_LIVE_STREAM_H

#include <stddef.h>
#include <stdint.h>

#include "routing/video_api.h"

struct AVCodecParameters;
struct AVPacket;

typedef struct LiveLimits {
    int64_t part_us;
    int window_segments;
    int64_t max_bytes;
} LiveLimits;

/* What the camera list shows. */
typedef struct LiveInfo {
    char codec[32];           /* FFmpeg's name; empty before the first stream record */
    char codecs[48];          /* the RFC 6381 codec string a browser asks about ("avc1.64001f"); empty when unknown */
    int width, height;
    int ended;                /* the source said the stream ended */
    int64_t last_packet_us;   /* wall clock of the latest packet; 0 before any */
} LiveInfo;

typedef struct LiveStream LiveStream;

LiveStream* live_stream_new(const LiveLimits* limits);
void live_stream_free(LiveStream* stream);

void live_stream_begin(LiveStream* stream, const VideoStreamFormat* record, const void* extradata, int32_t length);
void live_stream_end(LiveStream* stream);
void live_stream_packet(LiveStream* stream, const VideoPacket* packet, const void* data, int32_t length);

/* Malloc'ed copies for a reply, or null when there is nothing (yet). */
char* live_stream_playlist(LiveStream* stream, size_t* length);
void* live_stream_init(LiveStream* stream, size_t* length);
/* A finished segment (part -1) or one part of a segment in the window. */
void* live_stream_media(LiveStream* stream, unsigned sequence, int part, size_t* length);

/* The latest key frame and its stream's parameters, for a snapshot: copies
 * the caller frees (avcodec_parameters_free, av_packet_free). False when
 * there is none. */
int live_stream_key_frame(LiveStream* stream, struct AVCodecParameters** params, struct AVPacket** packet);

void live_stream_info(LiveStream* stream, LiveInfo* info);

#endif
