#include "packet_timing.h"

#include <string.h>

void packet_timing_start(PacketTiming* timing, const AVStream* stream, int by_capture_time, int64_t now_us)
{
    memset(timing, 0, sizeof *timing);
    timing->by_capture_time = by_capture_time;
    timing->time_base = by_capture_time ? AV_TIME_BASE_Q : stream->time_base;
    timing->origin_us = now_us;
    AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
    if (rate.num > 0 && rate.den > 0)
        timing->frame_duration = av_rescale_q(1, av_inv_q(rate), timing->time_base);
    timing->delay = stream->codecpar->video_delay;
    timing->last_dts = AV_NOPTS_VALUE;
}

static int64_t step(const PacketTiming* timing, const AVPacket* packet)
{
    if (packet->duration > 0 && !timing->by_capture_time)
        return packet->duration;
    return timing->frame_duration > 0 ? timing->frame_duration : 1;
}

/* Gives the packet the timestamps it lacks; 0 when there is nothing yet to
 * derive them from. */
static int time_packet(PacketTiming* timing, AVPacket* packet, int64_t capture_us)
{
    const int64_t last = timing->last_dts;
    if (timing->by_capture_time) {
        int64_t now = capture_us - timing->origin_us;
        packet->dts = last != AV_NOPTS_VALUE && now <= last ? last + 1 : now;
        packet->pts = packet->dts;
        packet->duration = 0;
    } else if (packet->dts == AV_NOPTS_VALUE && packet->pts == AV_NOPTS_VALUE) {
        if (last == AV_NOPTS_VALUE)
            return 0;
        packet->dts = packet->pts = last + step(timing, packet);
    } else if (packet->dts == AV_NOPTS_VALUE) {
        packet->dts = last == AV_NOPTS_VALUE ? packet->pts - timing->delay * step(timing, packet)
                                             : last + step(timing, packet);
        if (packet->dts > packet->pts && (last == AV_NOPTS_VALUE || packet->pts > last))
            packet->dts = packet->pts;
    }
    if (last == AV_NOPTS_VALUE || packet->dts > last)
        timing->last_dts = packet->dts;
    return 1;
}

int packet_timing_add(PacketTiming* timing, AVPacket* packet, int64_t capture_us)
{
    AVPacket** slot = &timing->held[timing->held_count];
    if (!*slot && !(*slot = av_packet_alloc())) {
        av_packet_unref(packet);
        return 0;
    }
    av_packet_move_ref(*slot, packet);
    const int count = ++timing->held_count;
    if (!time_packet(timing, *slot, capture_us)) {
        if (count < PACKET_TIMING_HELD)
            return 0; /* held: packet_timing_done leaves it */
        timing->last_dts = 0; /* no timestamp in sight: the timeline starts here */
        (*slot)->dts = (*slot)->pts = 0;
    }
    /* The held packets come one frame after another up to this one. */
    for (int i = 0; i + 1 < count; ++i) {
        AVPacket* held = timing->held[i];
        held->dts = held->pts = (*slot)->dts - (count - 1 - i) * step(timing, held);
    }
    timing->ready = count;
    return count;
}

AVPacket* packet_timing_ready(const PacketTiming* timing, int index)
{
    return timing->held[index];
}

void packet_timing_done(PacketTiming* timing)
{
    for (int i = 0; i < timing->ready; ++i)
        av_packet_unref(timing->held[i]);
    timing->held_count -= timing->ready;
    timing->ready = 0;
}

void packet_timing_stop(PacketTiming* timing)
{
    for (int i = 0; i < PACKET_TIMING_HELD; ++i)
        av_packet_free(&timing->held[i]);
    timing->held_count = 0;
}
