#include "audio_track.h"

#include <libavcodec/avcodec.h>
#include <string.h>

#include "../common/host_services.h"

void audio_track_init(AudioTrack* track, const char* camera)
{
    memset(track, 0, sizeof *track);
    track->camera = camera;
}

static void drop_held(AudioTrack* track)
{
    for (; track->count > 0; --track->count, track->first = (track->first + 1) % AUDIO_TRACK_HELD)
        av_packet_unref(track->held[track->first]);
}

static AVCodecParameters* parameters_of(const AudioStream* record, const void* extradata, int32_t length)
{
    const AVCodecDescriptor* codec = avcodec_descriptor_get_by_name(record->codec);
    if (!codec || codec->type != AVMEDIA_TYPE_AUDIO || record->time_base_num <= 0 || record->time_base_den <= 0)
        return NULL;
    AVCodecParameters* params = avcodec_parameters_alloc();
    if (!params)
        return NULL;
    params->codec_type = AVMEDIA_TYPE_AUDIO;
    params->codec_id = codec->id;
    params->sample_rate = (int)record->sample_rate;
    av_channel_layout_default(&params->ch_layout, (int)record->channels);
    params->frame_size = (int)record->frame_size;
    params->profile = record->profile;
    params->bits_per_coded_sample = (int)record->bits_per_sample;
    if (extradata && length > 0 && (params->extradata = av_mallocz((size_t)length + AV_INPUT_BUFFER_PADDING_SIZE))) {
        memcpy(params->extradata, extradata, (size_t)length);
        params->extradata_size = length;
    }
    return params;
}

int audio_track_stream(AudioTrack* track, const AudioStream* record, const void* extradata, int32_t length)
{
    if (record->status == ORV_VIDEO_STREAM_END && record->serial != track->serial)
        return 1;
    /* The open segment's audio ends here; it records on with its video. */
    track->output = NULL;
    drop_held(track);
    avcodec_parameters_free(&track->params);
    track->serial = record->serial;
    track->refused = 0;
    track->checked = 0;
    track->have_latest = 0;
    if (record->status != ORV_VIDEO_STREAM_BEGIN)
        return 1;
    track->params = parameters_of(record, extradata, length);
    track->time_base = (AVRational){record->time_base_num, record->time_base_den};
    return track->params != NULL;
}

/* Whether the container holds the audio: a header of its own written into
 * memory, as the muxers' own lists of what they hold are not complete. */
static int container_holds(const AVOutputFormat* format, const AudioTrack* track)
{
    AVFormatContext* trial = NULL;
    if (avformat_alloc_output_context2(&trial, format, NULL, NULL) < 0)
        return 0;
    AVStream* stream = avformat_new_stream(trial, NULL);
    int holds = stream && avcodec_parameters_copy(stream->codecpar, track->params) >= 0 &&
                avio_open_dyn_buf(&trial->pb) >= 0;
    if (holds) {
        stream->codecpar->codec_tag = 0;
        stream->time_base = track->time_base;
        holds = avformat_write_header(trial, NULL) >= 0;
        uint8_t* bytes = NULL;
        avio_close_dyn_buf(trial->pb, &bytes);
        av_free(bytes);
        trial->pb = NULL;
    }
    avformat_free_context(trial);
    return holds;
}

int audio_track_add_stream(AudioTrack* track, AVFormatContext* output)
{
    if (!track->params || track->refused)
        return 0;
    if (!track->checked && !container_holds(output->oformat, track)) {
        host_log(ORV_LOG_WARNING, "%s: %s segments cannot hold %s audio, recording the video alone", track->camera,
                 output->oformat->name, avcodec_get_name(track->params->codec_id));
        track->refused = 1;
        drop_held(track);
        return 0;
    }
    track->checked = 1;
    AVStream* stream = avformat_new_stream(output, NULL);
    int error = stream ? avcodec_parameters_copy(stream->codecpar, track->params) : AVERROR(ENOMEM);
    if (error < 0)
        return error;
    stream->codecpar->codec_tag = 0;
    stream->time_base = track->time_base;
    track->stream = stream->index;
    track->output = output;
    return 0;
}

/* Writes the oldest held packet into the open segment, or leaves it out. */
static int write_oldest(AudioTrack* track)
{
    AVPacket* packet = track->held[track->first];
    track->first = (track->first + 1) % AUDIO_TRACK_HELD;
    --track->count;
    int error = 0;
    if (!track->output || packet->pts < track->origin || packet->dts <= track->last_dts) {
        ++track->skipped;
    } else {
        track->last_dts = packet->dts;
        packet->stream_index = track->stream;
        packet->pts -= track->origin;
        packet->dts -= track->origin;
        av_packet_rescale_ts(packet, track->time_base, track->output->streams[track->stream]->time_base);
        error = av_write_frame(track->output, packet);
        track->written += error >= 0;
    }
    av_packet_unref(packet);
    return error;
}

void audio_track_start(AudioTrack* track, int64_t video_origin, AVRational video_base)
{
    track->video_base = video_base;
    track->origin = av_rescale_q(video_origin, video_base, track->time_base);
    track->last_dts = INT64_MIN;
    track->have_video = 0;
    while (track->count > 0 && track->held[track->first]->pts < track->origin)
        write_oldest(track); /* before the segment: left out */
}

int audio_track_write(AudioTrack* track, int64_t video_time, int inclusive)
{
    if (inclusive) {
        track->video_done = video_time;
        track->have_video = 1;
    }
    int error = 0;
    while (error >= 0 && track->output && track->count > 0) {
        const int order = av_compare_ts(track->held[track->first]->pts, track->time_base, video_time,
                                        track->video_base);
        if (order > 0 || (order == 0 && !inclusive))
            break;
        error = write_oldest(track);
    }
    return error;
}

int audio_track_packet(AudioTrack* track, const VideoPacket* record, const void* data, int32_t length)
{
    if (!track->params || track->refused || record->serial != track->serial || record->pts == ORV_VIDEO_NO_TIMESTAMP ||
        record->dts == ORV_VIDEO_NO_TIMESTAMP) {
        ++track->skipped;
        return 0;
    }
    int error = track->count == AUDIO_TRACK_HELD ? write_oldest(track) : 0;
    const int slot = (track->first + track->count) % AUDIO_TRACK_HELD;
    if (!track->held[slot] && !(track->held[slot] = av_packet_alloc()))
        return error;
    AVPacket* packet = track->held[slot];
    if (av_new_packet(packet, length) < 0)
        return error;
    memcpy(packet->data, data, (size_t)length);
    packet->pts = record->pts;
    packet->dts = record->dts;
    packet->duration = record->duration;
    packet->flags = (record->packet_flags & ORV_VIDEO_KEY_FRAME) ? AV_PKT_FLAG_KEY : 0;
    ++track->count;
    track->have_latest = 1;
    track->latest = record->pts;
    if (error >= 0 && track->have_video)
        error = audio_track_write(track, track->video_done, 1);
    return error;
}

int audio_track_reached(const AudioTrack* track, int64_t video_time, AVRational video_base)
{
    if (!track->params || track->refused)
        return 1;
    return track->have_latest && av_compare_ts(track->latest, track->time_base, video_time, video_base) >= 0;
}

void audio_track_stop(AudioTrack* track)
{
    track->output = NULL;
    track->have_video = 0;
}

void audio_track_free(AudioTrack* track)
{
    drop_held(track);
    for (int i = 0; i < AUDIO_TRACK_HELD; ++i)
        av_packet_free(&track->held[i]);
    avcodec_parameters_free(&track->params);
}
