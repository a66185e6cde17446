/*
 * The audio of one camera's recording (routing/video_api.h): its parameters,
 * its stream in the open segment, and the packets held back until the video
 * decides which segment they belong to.
 *
 * Audio and video come on one clock but not in step: an input may deliver
 * audio ahead of the video it goes with. A packet is written once a video
 * packet decoded at or after it has been written (the next segment's key
 * frame cannot come before it then); when the video starts a new segment at
 * pts P, the held packets before P finish the old one and the rest open the
 * new one. The recorder holds video back while the audio lags behind it
 * (audio_track_reached), so that a cut finds the audio before it. Packets
 * that still come after their segment was cut are left out, as
 * are packets that do not increase the track's dts. Up to AUDIO_TRACK_HELD
 * packets are held; beyond that the oldest is written at once.
 *
 * A codec the container cannot hold (G.711 in MP4) records the video alone,
 * reported once per audio stream. Writer thread only.
 */
#ifndef ORVANTIS_SHIPPED_AUDIO_TRACK_H
#define ORVANTIS_SHIPPED_AUDIO_TRACK_H

#include <libavformat/avformat.h>

#include "routing/video_api.h"

#define AUDIO_TRACK_HELD 128

typedef struct AudioTrack {
    const char* camera;        /* for its lines; kept, not copied */
    AVCodecParameters* params; /* of the current audio serial; null without audio */
    AVRational time_base;
    uint32_t serial;
    int checked;               /* the container holds this serial's codec */
    int refused;               /* it does not (reported) */
    AVFormatContext* output;   /* the open segment holding the track, or null */
    int stream;                /* its index there */
    AVRational video_base;     /* the video's time base in that segment */
    int64_t origin;            /* the segment's start, in the audio time base */
    int64_t last_dts;          /* the latest written, in the audio time base */
    int have_video;            /* video_done holds the latest video dts written into the segment */
    int64_t video_done;
    int have_latest;           /* latest holds the pts of the latest packet taken */
    int64_t latest;
    AVPacket* held[AUDIO_TRACK_HELD]; /* a ring, oldest at `first` */
    int first, count;
    unsigned long written, skipped;
} AudioTrack;

void audio_track_init(AudioTrack* track, const char* camera);

/* An audio stream record; BEGIN takes its parameters (0 when the codec is
 * unknown), END drops them and the held packets. */
int audio_track_stream(AudioTrack* track, const AudioStream* record, const void* extradata, int32_t length);

/* Adds the track's stream to `output` before its header is written, when
 * there is audio and the container holds its codec. 0 or an AVERROR. */
int audio_track_add_stream(AudioTrack* track, AVFormatContext* output);

/* The segment's header is written and its video starts at `video_origin`
 * (in `video_base`): the held packets from then on are its. */
void audio_track_start(AudioTrack* track, int64_t video_origin, AVRational video_base);

/* Takes an audio packet (copied; the caller keeps its payload). 0, or the
 * AVERROR of a write to the segment. */
int audio_track_packet(AudioTrack* track, const VideoPacket* record, const void* data, int32_t length);

/* Writes the held packets before `video_time` (in the video time base; with
 * `inclusive`, at it too) into the open segment. 0 or an AVERROR. */
int audio_track_write(AudioTrack* track, int64_t video_time, int inclusive);

/* Whether the audio has come up to `video_time` (in `video_base`), or
 * there is none to wait for. */
int audio_track_reached(const AudioTrack* track, int64_t video_time, AVRational video_base);

/* The segment is closed: packets from now on are held for the next. */
void audio_track_stop(AudioTrack* track);

void audio_track_free(AudioTrack* track);

#endif
