/*
 * Shipped module: a video source. It reads any number of cameras
 * (camera_settings.h), each an input that FFmpeg's libavformat opens (a file,
 * rtsp://, udp://, http://), demuxes them without decoding, and sends the
 * packets of each one's best video stream as video messages
 * (routing/video_api.h): a stream record before the first packet of every
 * connection and whenever the codec parameters change, one packet message per
 * compressed packet naming its camera, and an end record when a connection
 * ends. The best audio stream of the input goes along as audio records
 * (an audio stream record after connecting, its packets as they come, an end
 * record). Each camera has its own source number, serials and sequence
 * numbers, and a thread of its own: it alone touches its Camera record.
 *
 * Rules of the module contract shown here:
 * - The work runs in the IOCTL worker call (wants_ioctl_worker), which reads
 *   the first camera and starts a thread for each other one, and may
 *   last as long as the module likes; Close makes it return promptly: it sets
 *   `stopping`, wakes every wait of the worker, and libavformat's interrupt
 *   callback ends a blocked open or read. Unload waits for the worker's end,
 *   since the service may call it while the worker is still finishing.
 * - The service copies each payload, so the packet is unreferenced as soon as
 *   the callback returns; the source keeps nothing.
 * - While the service throttles, packet messages are refused with result 5:
 *   the source counts them and goes on reading, so the stream stays live and
 *   receivers see the refused packets as a gap in the sequence numbers.
 * - Payload notices and other IOCTL sub-codes run on the event-handler thread
 *   and return at once.
 *
 * Packets leave with a pts and an increasing dts (packet_timing.h), and a key
 * frame whose in-band headers change the size or parameter sets starts a new
 * serial (parameter_watch.h).
 *
 * When the input breaks or ends the source connects again after a back-off
 * that doubles up to a cap of half a second, each wait drawn between half
 * and all of it so that cameras broken together do not retry in lockstep; or
 * it starts a file again at once ("at_end = loop"). Each break is logged once
 * with its reason; failed attempts after it only when the reason changes.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <pthread.h>
#include <stdatomic.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "../common/host_services.h"
#include "../common/module_config.h"
#include "adts.h"
#include "camera_settings.h"
#include "packet_timing.h"
#include "parameter_watch.h"
#include "modules/module_api.h"
#include "routing/message_api.h"
#include "routing/video_api.h"

#define EXPORT __attribute__((visibility("default")))

enum SessionEnd { SESSION_BROKE, SESSION_ENDED, SESSION_STOPPED };

/* One camera: its settings (read in Load, then only read) and what its
 * thread alone changes (read by Unload after the threads have returned). */
typedef struct Camera {
    CameraSettings settings;
    uint64_t sequence;
    uint32_t serial;
    uint64_t audio_sequence;
    uint32_t audio_serial;
    unsigned long sent, refused, failed, connections;
    int throttled;           /* the latest packet was refused with 5 */
    char last_failure[256];  /* the latest reason a connection failed or broke; empty once connected */
    pthread_t thread;
    int thread_started;
    /* Its health through the host's metrics (0: none), labelled by its name. */
    int64_t connected_metric, frames_metric, bytes_metric, last_packet_metric, connections_metric;
} Camera;

/* One connection to the input; worker thread only. */
typedef struct Session {
    Camera* camera;
    AVFormatContext* input;
    int stream;              /* index of the video stream */
    int audio;               /* index of the audio stream passed on, or -1 */
    int adts;                /* its packets are ADTS: their headers are stripped */
    uint8_t audio_config[2]; /* then the AudioSpecificConfig sent as its extradata */
    int64_t deadline_us;     /* monotonic; the interrupt callback ends a read after it */
    int64_t first_dts;       /* pacing origin, or AV_NOPTS_VALUE */
    int64_t first_read_us;   /* monotonic time of the first paced packet */
    AVCodecParameters* sent; /* the parameters of the latest BEGIN */
    int begun;               /* a BEGIN was sent on this connection */
    PacketTiming timing;
    ParameterWatch watch;
    int sent_packets;
} Session;

static CameraList list;
static Camera cameras[CAMERA_SETTINGS_MAX];
static OrvCallback send_message;
static atomic_int stopping;
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t wake;  /* monotonic clock; signalled under lock by Close and by the worker's end */
static int worker_running;   /* guarded by lock */
static void (*release_free_memory)(void); /* the allocator's, found in Load; null without one */

static int64_t wall_us(void)
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

static int64_t monotonic_us(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

/* Waits until the monotonic time `until_us`; returns nonzero once Close has
 * asked to stop. A time already passed costs no lock and no system call. */
static int wait_until(int64_t until_us)
{
    if (monotonic_us() >= until_us)
        return atomic_load(&stopping);
    struct timespec deadline = {(time_t)(until_us / 1000000), (long)(until_us % 1000000) * 1000};
    pthread_mutex_lock(&lock);
    while (!atomic_load(&stopping) && pthread_cond_timedwait(&wake, &lock, &deadline) == 0)
        ;
    pthread_mutex_unlock(&lock);
    return atomic_load(&stopping);
}

static int interrupted(void* opaque)
{
    const Session* session = opaque;
    return atomic_load(&stopping) || monotonic_us() > session->deadline_us;
}

/* Finds the host's log first, under the module id of the file's common
 * keys, so that the problems of the settings are logged there too. */
static void read_settings(void)
{
    ModuleConfig* config = malloc(sizeof *config);
    if (config) {
        module_config_load(config, (const void*)read_settings);
        host_services_find("video_source", (uint64_t)module_config_number(config, "module_id", 0x400));
        if (!camera_settings_load(&list, config->path))
            host_log(ORV_LOG_ERROR, "cannot read %s", config->path);
    }
    free(config);
    for (int i = 0; i < list.count; ++i)
        cameras[i].settings = list.cameras[i];
}

/* Each camera's metrics: whether it is connected, its frames and bytes (a
 * rate is their increase), the wall clock time of its latest packet (its
 * age is now minus that), and its connections. */
static void declare_metrics(Camera* camera)
{
    const char* name = camera->settings.name;
    camera->connected_metric = host_metric(ORV_METRIC_GAUGE, "video_source_connected",
                                           "1 while the camera is connected", "camera", name, NULL);
    camera->frames_metric = host_metric(ORV_METRIC_COUNTER, "video_source_frames_total",
                                        "packets of the camera's video accepted by the service", "camera", name, NULL);
    camera->bytes_metric = host_metric(ORV_METRIC_COUNTER, "video_source_bytes_total",
                                       "bytes of the camera's video packets read", "camera", name, NULL);
    camera->last_packet_metric = host_metric(ORV_METRIC_GAUGE, "video_source_last_packet_time_seconds",
                                             "Unix time of the camera's latest packet", "camera", name, NULL);
    camera->connections_metric = host_metric(ORV_METRIC_COUNTER, "video_source_connections_total",
                                             "connections made to the camera", "camera", name, NULL);
}

static int32_t send_video(uint64_t flags, uint64_t event, const void* body, size_t body_size, void* data,
                          int32_t length)
{
    Message message;
    MessageResult result = {sizeof result, 1, 0};
    memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = ORV_MESSAGE_VERSION;
    message.length = data ? length : 0;
    message.data = length > 0 ? data : NULL;
    message.source_id = list.module_id;
    message.flags = flags;
    message.event = event;
    memcpy(message.body, body, body_size);
    send_message(&message, &result);
    return result.result;
}

static void describe_format(VideoFormat* format, const AVCodecParameters* params)
{
    const char* pixels = av_get_pix_fmt_name((enum AVPixelFormat)params->format);
    snprintf(format->pixel_format, sizeof format->pixel_format, "%s", pixels ? pixels : "");
    format->profile = params->profile;
    format->level = params->level;
    format->color_range = (uint8_t)params->color_range;
    format->color_primaries = (uint8_t)params->color_primaries;
    format->color_transfer = (uint8_t)params->color_trc;
    format->color_space = (uint8_t)params->color_space;
    format->chroma_location = (uint8_t)params->chroma_location;
    format->field_order = (uint8_t)params->field_order;
    format->bits_per_sample = (uint16_t)params->bits_per_raw_sample;
    format->aspect_num = params->sample_aspect_ratio.num;
    format->aspect_den = params->sample_aspect_ratio.den;
    format->video_delay = (uint32_t)params->video_delay;
}

static void send_stream(const Session* session, uint32_t status, const AVCodecParameters* params)
{
    const AVStream* stream = session->input->streams[session->stream];
    VideoStreamFormat full;
    VideoStream* record = &full.stream;
    memset(&full, 0, sizeof full);
    record->size = sizeof full;
    record->version = ORV_VIDEO_RECORD_VERSION;
    record->source = session->camera->settings.source;
    record->serial = session->camera->serial;
    record->status = status;
    snprintf(record->codec, sizeof record->codec, "%s", avcodec_get_name(params->codec_id));
    record->width = (uint32_t)params->width;
    record->height = (uint32_t)params->height;
    record->time_base_num = session->timing.time_base.num;
    record->time_base_den = session->timing.time_base.den;
    if (!session->timing.by_capture_time) { /* otherwise the rate is the camera's, whatever it declares */
        /* A live input's rate is not measured while probing: the codec's. */
        AVRational rate = stream->avg_frame_rate.num > 0 ? stream->avg_frame_rate : stream->r_frame_rate;
        record->frame_rate_num = rate.num;
        record->frame_rate_den = rate.den;
    }
    record->stream_index = (uint32_t)session->stream;
    record->start_time_us = wall_us();
    describe_format(&full.format, params);
    int32_t result = send_video(ORV_VIDEO_STREAM_FLAGS, ORV_EVENT_VIDEO_STREAM, &full, sizeof full,
                                status == ORV_VIDEO_STREAM_BEGIN ? params->extradata : NULL,
                                status == ORV_VIDEO_STREAM_BEGIN ? params->extradata_size : 0);
    if (result != ORV_RESULT_OK)
        host_log(ORV_LOG_WARNING, "%s: stream record refused with %d", session->camera->settings.name,
                (int)result);
}

/* Sends a BEGIN with a new serial for `params` and remembers them. */
static void begin_stream(Session* session, const AVCodecParameters* params)
{
    Camera* camera = session->camera;
    ++camera->serial;
    avcodec_parameters_copy(session->sent, params);
    send_stream(session, ORV_VIDEO_STREAM_BEGIN, params);
    host_log(ORV_LOG_INFO, "%s: stream %u: %s %dx%d", camera->settings.name, camera->serial,
            avcodec_get_name(params->codec_id), params->width, params->height);
}

static int same_parameters(const AVCodecParameters* a, const AVCodecParameters* b)
{
    return a->codec_id == b->codec_id && a->width == b->width && a->height == b->height && a->format == b->format &&
           a->extradata_size == b->extradata_size &&
           (a->extradata_size == 0 || memcmp(a->extradata, b->extradata, (size_t)a->extradata_size) == 0);
}

/* Sends the connection's BEGIN before its first packet, and starts a new
 * serial when the demuxer changed the stream's parameters, the packet carries
 * new extradata, or a key frame's own headers declare new parameters. The
 * first BEGIN waits for the first packet so that it already carries the
 * parameter sets in the stream, which may differ from those announced (an
 * RTSP session description). */
static void follow_parameters(Session* session, const AVPacket* packet)
{
    AVCodecParameters* current = session->input->streams[session->stream]->codecpar;
    size_t extradata_size = 0;
    const uint8_t* extradata = av_packet_get_side_data(packet, AV_PKT_DATA_NEW_EXTRADATA, &extradata_size);
    int in_band = (packet->flags & AV_PKT_FLAG_KEY) && parameter_watch_check(&session->watch, packet, current);
    if (!extradata && !in_band && same_parameters(current, session->sent))
        return;
    AVCodecParameters* next = avcodec_parameters_alloc();
    if (!next || avcodec_parameters_copy(next, current) < 0) {
        avcodec_parameters_free(&next);
        return;
    }
    if (extradata) {
        av_freep(&next->extradata);
        next->extradata = av_mallocz(extradata_size + AV_INPUT_BUFFER_PADDING_SIZE);
        next->extradata_size = next->extradata ? (int)extradata_size : 0;
        if (next->extradata)
            memcpy(next->extradata, extradata, extradata_size);
    }
    if (!session->begun || !same_parameters(next, session->sent)) {
        if (session->begun)
            send_stream(session, ORV_VIDEO_STREAM_END, session->sent);
        begin_stream(session, next);
        session->begun = 1;
    }
    avcodec_parameters_free(&next);
}

/* Paced packets leave on a tick of the monotonic clock shared by every
 * camera, at most this long after their time (reading a file in real time
 * with ffmpeg's -re is as coarse): the cameras due in one tick wake
 * together, and the service's delivery thread takes their packets in one
 * wake instead of one wake per packet. */
#define PACE_TICK_US 10000

/* Holds the packet back until its time has come at the configured rate;
 * returns nonzero once Close has asked to stop. */
static int pace(Session* session, const AVPacket* packet)
{
    int64_t dts = packet->dts;
    const double rate = session->camera->settings.rate;
    if (rate <= 0 || session->timing.by_capture_time)
        return atomic_load(&stopping);
    if (session->first_dts == AV_NOPTS_VALUE) {
        session->first_dts = dts;
        session->first_read_us = monotonic_us();
    }
    AVRational base = session->timing.time_base;
    int64_t offset_us = av_rescale_q(dts - session->first_dts, base, AV_TIME_BASE_Q);
    const int64_t due_us = session->first_read_us + (int64_t)((double)offset_us / rate);
    return wait_until((due_us + PACE_TICK_US - 1) / PACE_TICK_US * PACE_TICK_US);
}

static void note_result(Camera* camera, int32_t result)
{
    if (result == ORV_RESULT_THROTTLED) {
        if (!camera->throttled)
            host_log(ORV_LOG_WARNING, "%s: the service throttles video, packets are refused",
                    camera->settings.name);
        camera->throttled = 1;
        ++camera->refused;
        return;
    }
    if (camera->throttled)
        host_log(ORV_LOG_NOTICE, "%s: video accepted again, %lu packets refused so far", camera->settings.name,
                camera->refused);
    camera->throttled = 0;
    if (result == ORV_RESULT_OK) {
        ++camera->sent;
        host_metric_add(camera->frames_metric, 1);
    } else
        ++camera->failed;
}

static void send_packet(Session* session, const AVPacket* packet, int64_t capture_us)
{
    Camera* camera = session->camera;
    VideoPacketCamera named;
    VideoPacket* record = &named.packet;
    memset(&named, 0, sizeof named);
    record->size = sizeof named;
    record->version = ORV_VIDEO_RECORD_VERSION;
    record->source = camera->settings.source;
    record->sequence = camera->sequence++;
    record->serial = camera->serial;
    record->stream_index = (uint32_t)session->stream;
    record->pts = packet->pts;
    record->dts = packet->dts;
    record->duration = packet->duration;
    record->capture_time_us = capture_us;
    record->packet_flags = (packet->flags & AV_PKT_FLAG_KEY) ? ORV_VIDEO_KEY_FRAME : 0;
    memcpy(named.camera, camera->settings.name, sizeof named.camera);
    host_metric_add(camera->bytes_metric, packet->size);
    host_metric_set(camera->last_packet_metric, (double)capture_us / 1e6);
    note_result(camera, send_video(ORV_VIDEO_PACKET_FLAGS, ORV_EVENT_VIDEO_PACKET, &named, sizeof named, packet->data,
                                   packet->size));
    ++session->sent_packets;
}

/* The input's audio stream to pass on with its video, or -1: none, or an
 * input timed by capture time, whose audio has no clock shared with it. */
static int find_audio(const Session* session)
{
    if (session->timing.by_capture_time)
        return -1;
    const int found = av_find_best_stream(session->input, AVMEDIA_TYPE_AUDIO, -1, session->stream, NULL, 0);
    return found >= 0 ? found : -1;
}

static void send_audio_stream(const Session* session, uint32_t status)
{
    const AVStream* stream = session->input->streams[session->audio];
    const AVCodecParameters* params = stream->codecpar;
    AudioStream record;
    memset(&record, 0, sizeof record);
    record.size = sizeof record;
    record.version = ORV_VIDEO_RECORD_VERSION;
    record.source = session->camera->settings.source;
    record.serial = session->camera->audio_serial;
    record.status = status;
    snprintf(record.codec, sizeof record.codec, "%s", avcodec_get_name(params->codec_id));
    record.sample_rate = (uint32_t)params->sample_rate;
    record.channels = (uint32_t)params->ch_layout.nb_channels;
    record.time_base_num = stream->time_base.num;
    record.time_base_den = stream->time_base.den;
    record.frame_size = (uint32_t)params->frame_size;
    record.stream_index = (uint32_t)session->audio;
    record.profile = params->profile;
    record.bits_per_sample = (uint32_t)params->bits_per_coded_sample;
    record.start_time_us = wall_us();
    const int begin = status == ORV_VIDEO_STREAM_BEGIN;
    const uint8_t* extradata = session->adts ? session->audio_config : params->extradata;
    const int extradata_size = session->adts ? (int)sizeof session->audio_config : params->extradata_size;
    if (send_video(ORV_AUDIO_STREAM_FLAGS, ORV_EVENT_AUDIO_STREAM, &record, sizeof record,
                   begin ? (void*)extradata : NULL, begin ? extradata_size : 0) != ORV_RESULT_OK)
        host_log(ORV_LOG_WARNING, "%s: audio stream record refused", session->camera->settings.name);
}

/* Announces the connection's audio, before its first video BEGIN. AAC
 * without a config of its own comes in ADTS frames (adts.h); one whose
 * config cannot be made is not passed on. */
static void begin_audio(Session* session)
{
    session->audio = find_audio(session);
    if (session->audio < 0)
        return;
    Camera* camera = session->camera;
    const AVCodecParameters* params = session->input->streams[session->audio]->codecpar;
    session->adts = params->codec_id == AV_CODEC_ID_AAC && params->extradata_size == 0;
    if (session->adts && !adts_config(params, session->audio_config)) {
        host_log(ORV_LOG_WARNING, "%s: AAC audio of %d Hz, %d channels: no config to record it with, left out",
                 camera->settings.name, params->sample_rate, params->ch_layout.nb_channels);
        session->audio = -1;
        return;
    }
    ++camera->audio_serial;
    send_audio_stream(session, ORV_VIDEO_STREAM_BEGIN);
    host_log(ORV_LOG_INFO, "%s: audio %u: %s %d Hz", camera->settings.name, camera->audio_serial,
             avcodec_get_name(params->codec_id), params->sample_rate);
}

/* Passes an audio packet on as the demuxer gave it; one without any
 * timestamp cannot be placed beside the video and is left out. Refused
 * packets (throttling) are gaps in the audio's sequence, as in the video's. */
static void send_audio(Session* session, const AVPacket* packet, int64_t capture_us)
{
    Camera* camera = session->camera;
    VideoPacketCamera named;
    VideoPacket* record = &named.packet;
    const uint64_t sequence = camera->audio_sequence++;
    const int header = session->adts ? adts_header_length(packet->data, packet->size) : 0;
    if ((packet->pts == AV_NOPTS_VALUE && packet->dts == AV_NOPTS_VALUE) || header < 0)
        return;
    memset(&named, 0, sizeof named);
    record->size = sizeof named;
    record->version = ORV_VIDEO_RECORD_VERSION;
    record->source = camera->settings.source;
    record->sequence = sequence;
    record->serial = camera->audio_serial;
    record->stream_index = (uint32_t)session->audio;
    record->pts = packet->pts != AV_NOPTS_VALUE ? packet->pts : packet->dts;
    record->dts = packet->dts != AV_NOPTS_VALUE ? packet->dts : packet->pts;
    record->duration = packet->duration;
    record->capture_time_us = capture_us;
    record->packet_flags = (packet->flags & AV_PKT_FLAG_KEY) ? ORV_VIDEO_KEY_FRAME : 0;
    memcpy(named.camera, camera->settings.name, sizeof named.camera);
    send_video(ORV_AUDIO_PACKET_FLAGS, ORV_EVENT_AUDIO_PACKET, &named, sizeof named, packet->data + header,
               packet->size - header);
}

/* Logs why a connection failed or broke. A failure like the one before is
 * not logged again, so a camera that stays away costs one line, not one per
 * attempt. */
static void report_error(Camera* camera, const char* what, int error, int64_t timeout_us)
{
    char text[AV_ERROR_MAX_STRING_SIZE];
    char line[sizeof camera->last_failure];
    if (error == AVERROR_EXIT)  /* the interrupt callback's deadline */
        snprintf(text, sizeof text, "no data for %lld ms", (long long)(timeout_us / 1000));
    else
        av_strerror(error, text, sizeof text);
    snprintf(line, sizeof line, "%s: %s", what, text);
    if (strcmp(line, camera->last_failure) != 0)
        host_log(ORV_LOG_WARNING, "%s: %s %s: %s", camera->settings.name, what, camera->settings.url, text);
    snprintf(camera->last_failure, sizeof camera->last_failure, "%s", line);
}

/* The libavformat options of the settings; the ones the input did not take
 * are reported on the first connection. */
static AVDictionary* input_options(const CameraSettings* settings)
{
    AVDictionary* options = NULL;
    if (settings->options[0] && av_dict_parse_string(&options, settings->options, "=", " \t", 0) < 0)
        host_log(ORV_LOG_ERROR, "%s: cannot parse options \"%s\"", settings->name, settings->options);
    return options;
}

static void report_unused(const Camera* camera, const AVDictionary* unused)
{
    const AVDictionaryEntry* entry = NULL;
    while (camera->connections == 0 && (entry = av_dict_get(unused, "", entry, AV_DICT_IGNORE_SUFFIX)))
        host_log(ORV_LOG_WARNING, "%s: option %s not known to the input", camera->settings.name, entry->key);
}

/* Probing a live input stops once the codec's parameters are known: it does
 * not also measure the frame rate over 20 frames, which would delay every
 * connection by most of a second. Files, and settings that choose a probe
 * size of their own, are probed as libavformat likes. */
static void probe_briefly(AVFormatContext* input, const CameraSettings* settings)
{
    const int live = !input->pb || !(input->pb->seekable & AVIO_SEEKABLE_NORMAL);
    if (live && !strstr(settings->options, "fpsprobesize"))
        input->fps_probe_size = 0;
}

/* Probing decodes a few pictures (about 10 MiB at 1080p). The service's
 * allocator (tcmalloc) keeps what they freed for reuse and hands it back to
 * the system only when asked: unasked, every camera's probe stayed in the
 * service's memory. Asked after each probe; a service without that
 * allocator (a sanitizer build) has nothing to ask. */
static void find_allocator(void)
{
    void* found = dlsym(RTLD_DEFAULT, "MallocExtension_ReleaseFreeMemory");
    memcpy(&release_free_memory, &found, sizeof release_free_memory); /* ISO C has no such cast */
}

static int find_stream_info(AVFormatContext* input)
{
    const int error = avformat_find_stream_info(input, NULL);
    if (release_free_memory)
        release_free_memory();
    return error;
}

/* Opens the input and finds its video stream; 0 when that failed. Opening
 * and probing share one deadline, longer than a read's: a camera with long
 * key-frame intervals may take that long before its stream is known. */
static int open_input(Session* session)
{
    Camera* camera = session->camera;
    const CameraSettings* settings = &camera->settings;
    session->input = avformat_alloc_context();
    if (!session->input)
        return 0;
    session->input->interrupt_callback.callback = interrupted;
    session->input->interrupt_callback.opaque = session;
    session->deadline_us = monotonic_us() + settings->open_timeout_us;
    AVDictionary* options = input_options(settings);
    int error = avformat_open_input(&session->input, settings->url, NULL, &options);
    if (error >= 0)
        report_unused(camera, options);
    av_dict_free(&options);
    if (error < 0) {
        if (!atomic_load(&stopping))
            report_error(camera, "cannot open", error, settings->open_timeout_us);
        return 0;
    }
    probe_briefly(session->input, settings);
    error = find_stream_info(session->input);
    if (error >= 0)
        error = av_find_best_stream(session->input, AVMEDIA_TYPE_VIDEO, -1, -1, NULL, 0);
    if (error < 0) {
        if (!atomic_load(&stopping))
            report_error(camera, "no video stream in", error, settings->open_timeout_us);
        return 0;
    }
    session->stream = error;
    camera->last_failure[0] = 0;
    return 1;
}

/* Whether the input is live and has no timestamps of its own, so that the
 * capture time is its only clock. Files (seekable) keep the demuxer's guess
 * of the rate, and so do streams with B-frames: their display order cannot
 * come from arrival times. */
static int by_capture_time(const Session* session)
{
    const AVIOContext* io = session->input->pb;
    return (session->input->iformat->flags & AVFMT_NOTIMESTAMPS) && !(io && (io->seekable & AVIO_SEEKABLE_NORMAL)) &&
           session->input->streams[session->stream]->codecpar->video_delay == 0;
}

/* Times the packet and sends it with any held before it. */
static void forward(Session* session, AVPacket* packet, int64_t capture_us)
{
    const int ready = packet_timing_add(&session->timing, packet, capture_us);
    for (int i = 0; i < ready; ++i) {
        AVPacket* timed = packet_timing_ready(&session->timing, i);
        follow_parameters(session, timed);
        if (pace(session, timed))
            break;
        send_packet(session, timed, capture_us);
    }
    packet_timing_done(&session->timing);
}

/* Forwards the packets of the video stream until the input ends or breaks.
 * A packet that comes back after the read deadline passed is one a parser
 * let go when the read was interrupted: the input is still silent, so the
 * deadline is not renewed and the next read ends at once. */
static enum SessionEnd forward_packets(Session* session)
{
    const CameraSettings* settings = &session->camera->settings;
    AVPacket* packet = av_packet_alloc();
    enum SessionEnd end = SESSION_STOPPED;
    int silent = 0;
    while (packet && !atomic_load(&stopping)) {
        if (!silent)
            session->deadline_us = monotonic_us() + settings->read_timeout_us;
        int error = av_read_frame(session->input, packet);
        silent = monotonic_us() > session->deadline_us;
        if (error < 0) {
            end = atomic_load(&stopping) ? SESSION_STOPPED : error == AVERROR_EOF ? SESSION_ENDED : SESSION_BROKE;
            if (end == SESSION_BROKE)
                report_error(session->camera, "lost", error, settings->read_timeout_us);
            else if (end == SESSION_ENDED && settings->at_end != AT_END_LOOP)
                host_log(ORV_LOG_NOTICE, "%s: end of %s", settings->name, settings->url);
            break;
        }
        if (packet->stream_index == session->stream)
            forward(session, packet, wall_us());
        else if (packet->stream_index == session->audio)
            send_audio(session, packet, wall_us());
        av_packet_unref(packet);
    }
    av_packet_free(&packet);
    return end;
}

/* One connection: open, forward (after the stream's BEGIN), announce its end. */
static enum SessionEnd run_session(Session* session)
{
    enum SessionEnd end = SESSION_BROKE;
    session->first_dts = AV_NOPTS_VALUE;
    session->sent_packets = 0;
    session->sent = avcodec_parameters_alloc();
    if (session->sent && open_input(session)) {
        ++session->camera->connections;
        host_metric_add(session->camera->connections_metric, 1);
        host_metric_set(session->camera->connected_metric, 1);
        const AVStream* stream = session->input->streams[session->stream];
        packet_timing_start(&session->timing, stream, by_capture_time(session), wall_us());
        parameter_watch_start(&session->watch, stream->codecpar);
        begin_audio(session);
        end = forward_packets(session);
        if (session->begun)
            send_stream(session, ORV_VIDEO_STREAM_END, session->sent);
        if (session->audio >= 0)
            send_audio_stream(session, ORV_VIDEO_STREAM_END);
    }
    host_metric_set(session->camera->connected_metric, 0);
    if (atomic_load(&stopping))
        end = SESSION_STOPPED;
    packet_timing_stop(&session->timing);
    parameter_watch_stop(&session->watch);
    avformat_close_input(&session->input);
    avcodec_parameters_free(&session->sent);
    return end;
}

static void run_source(Camera* camera)
{
    const CameraSettings* settings = &camera->settings;
    int64_t backoff_us = settings->backoff_us;
    unsigned seed = (unsigned)(monotonic_us() ^ (int64_t)settings->source * 2654435761);
    for (;;) {
        Session session;
        memset(&session, 0, sizeof session);
        session.camera = camera;
        session.audio = -1;
        enum SessionEnd end = run_session(&session);
        if (end == SESSION_STOPPED || (end == SESSION_ENDED && settings->at_end == AT_END_STOP))
            return;
        if (session.sent_packets > 0)
            backoff_us = settings->backoff_us;
        if (end == SESSION_ENDED && settings->at_end == AT_END_LOOP && session.sent_packets > 0)
            continue;
        int64_t wait_us = backoff_us / 2 + rand_r(&seed) % (backoff_us / 2 + 1);
        if (session.sent_packets > 0)
            host_log(ORV_LOG_INFO, "%s: connecting again in %lld ms", settings->name,
                    (long long)(wait_us / 1000));
        if (wait_until(monotonic_us() + wait_us))
            return;
        backoff_us = backoff_us * 2 < settings->max_backoff_us ? backoff_us * 2 : settings->max_backoff_us;
    }
}

static void* run_camera(void* camera)
{
    run_source(camera);
    return NULL;
}

/* The worker call runs the first camera itself and each other one on a
 * thread of its own, and returns when all have. A camera whose thread cannot
 * start is reported and not read. */
static void run_cameras(void)
{
    for (int i = 1; i < list.count; ++i) {
        cameras[i].thread_started = pthread_create(&cameras[i].thread, NULL, run_camera, &cameras[i]) == 0;
        if (!cameras[i].thread_started)
            host_log(ORV_LOG_ERROR, "%s: cannot start its thread, not reading", cameras[i].settings.name);
    }
    run_source(&cameras[0]);
    for (int i = 1; i < list.count; ++i)
        if (cameras[i].thread_started)
            pthread_join(cameras[i].thread, NULL);
}

EXPORT int32_t Load(void* in, void* out)
{
    LoadArgs* args = in;
    ModuleInfo* info = out;
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&wake, &attributes);
    pthread_condattr_destroy(&attributes);
    send_message = args->callback;
    find_allocator();
    read_settings();
    for (int i = 0; i < list.count; ++i)
        declare_metrics(&cameras[i]);
    info->module_id = list.module_id;
    info->class_mask[5] = 2; /* closes before receivers (larger key first) */
    info->wants_ioctl_worker = list.count > 0;
    if (list.count == 0)
        host_log(ORV_LOG_WARNING, "no camera configured, not reading");
    return 0;
}

EXPORT int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

EXPORT int32_t IOCTL(void* in, void* out)
{
    IoctlArgs* args = in;
    (void)out;
    if (args->code != ORV_IOCTL_WORKER)
        return 0;
    pthread_mutex_lock(&lock);
    worker_running = 1;
    pthread_mutex_unlock(&lock);
    run_cameras();
    pthread_mutex_lock(&lock);
    worker_running = 0;
    pthread_cond_broadcast(&wake);
    pthread_mutex_unlock(&lock);
    return 0;
}

EXPORT int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    atomic_store(&stopping, 1);
    pthread_cond_broadcast(&wake);
    pthread_mutex_unlock(&lock);
    return 0;
}

EXPORT int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    /* The service may call Unload before a slow worker has returned (it
     * keeps the library loaded until then): wait for the counters. The
     * condition variable is never destroyed, so a worker that starts only
     * now still finds it. */
    pthread_mutex_lock(&lock);
    while (worker_running)
        pthread_cond_wait(&wake, &lock);
    pthread_mutex_unlock(&lock);
    unsigned long sent = 0, refused = 0, failed = 0, connections = 0;
    for (int i = 0; i < list.count; ++i) {
        const Camera* camera = &cameras[i];
        if (list.count > 1)
            host_log(ORV_LOG_NOTICE, "%s: %lu packets sent, %lu refused, %lu failed, %lu connections",
                    camera->settings.name, camera->sent, camera->refused, camera->failed, camera->connections);
        sent += camera->sent;
        refused += camera->refused;
        failed += camera->failed;
        connections += camera->connections;
    }
    host_log(ORV_LOG_NOTICE, "%lu packets sent, %lu refused while throttling, %lu failed, %lu connections",
            sent, refused, failed, connections);
    return 0;
}
