/*
 * The timestamps of one connection's packets, as the recorder needs them:
 * every packet has a pts and a dts, and dts increases. Inputs fall short of
 * that in three ways, each mended here:
 * - no timestamps at all in the container (HTTP MJPEG, raw streams): every
 *   packet is timed by its capture time, in microseconds since the
 *   connection, so the recording plays at the camera's real rate;
 * - a packet without any timestamp before the first timed one (RTSP's first
 *   key frame): it is held back and timed one frame before its successor;
 * - a pts without a dts (Matroska with B-frames): the dts is extrapolated a
 *   frame at a time from the key frame's pts minus the reorder delay, the
 *   way a decoder would count.
 *
 * Owned by the worker thread's connection; not thread-safe.
 */
#ifndef ORVANTIS_SHIPPED_PACKET_TIMING_H
#define ORVANTIS_SHIPPED_PACKET_TIMING_H

#include <libavformat/avformat.h>

#define PACKET_TIMING_HELD 8 /* packets held back at most while waiting for a timestamp */

typedef struct PacketTiming {
    AVRational time_base;   /* of the timestamps given out */
    int by_capture_time;
    int64_t origin_us;      /* by capture time: the capture time that is 0 */
    int64_t frame_duration; /* in time_base, from the nominal rate; 0 when unknown */
    int delay;              /* pictures reordered (B-frames) */
    int64_t last_dts;       /* AV_NOPTS_VALUE before the first timed packet */
    AVPacket* held[PACKET_TIMING_HELD]; /* waiting for a timestamp, or ready */
    int held_count;
    int ready;              /* the first `ready` of them are timed and given out */
} PacketTiming;

/* Starts the timing of `stream`; `by_capture_time` when the input has no
 * timestamps of its own. */
void packet_timing_start(PacketTiming* timing, const AVStream* stream, int by_capture_time, int64_t now_us);

/* Takes `packet` (captured at `capture_us`, wall clock; the caller's packet
 * is left blank) and times it. Returns how many packets are ready, in order
 * (held ones first, then this one); 0 while it holds the packet for a
 * timestamp to come. */
int packet_timing_add(PacketTiming* timing, AVPacket* packet, int64_t capture_us);

/* The i-th ready packet, valid until packet_timing_done. */
AVPacket* packet_timing_ready(const PacketTiming* timing, int index);

/* Unreferences the ready packets; the packets still waiting stay held. */
void packet_timing_done(PacketTiming* timing);

/* Frees what is still held. */
void packet_timing_stop(PacketTiming* timing);

#endif
