/*
 * Shipped module: a segment recorder. It records the video messages of every
 * camera it is configured for (routing/video_api.h) into segment files by
 * remuxing the packets with FFmpeg's libavformat (Matroska or MP4, no
 * decoding): a new segment every `segment_seconds`, always starting at a key
 * frame, in "<directory>/<camera>/<YYYY-MM-DD>/", named by the wall clock
 * time of its first packet (UTC, "20250105T142301.123Z.mkv"). The camera and
 * day folders are made as each segment starts, so a folder removed while
 * recording comes back with the next segment.
 *
 * A camera's audio goes into the same segments (audio_track.h); its video
 * waits for audio that comes late, so that each cut finds the audio before
 * it.
 *
 * Segments survive a crash: MP4 is written fragmented (the header first, a
 * fragment per key frame), Matroska a cluster per key frame (both also
 * after every 64 KiB, to keep their buffers small), and both are handed to
 * the kernel at every key frame, so a killed service leaves every
 * picture group but the last one or two playable.
 *
 * Rules of the module contract shown here:
 * - Write runs on the service's event-handler thread, which delivers to every
 *   module in turn, so it never waits for the disk: it keeps the payload
 *   (keeps_buffer), queues it and returns. A writer thread of the module's own
 *   writes the queued packets and then sends exactly one release per kept
 *   payload.
 * - The payloads it holds are bounded (`max_held_bytes`): beyond the bound
 *   Write keeps nothing, so the service frees the payload at once, and counts
 *   the drop. A slow or full disk therefore costs packets, never memory.
 * - Gaps (packets refused while the service throttles, dropped beyond the
 *   bound, or lost by the source) show as a jump in the sequence numbers: the
 *   segment stays open and the writer skips to the next key frame, as it does
 *   after any packet it cannot write (no timestamp, a dts that does not
 *   increase), since the rest of that picture group would decode wrong. A new
 *   stream record (a new connection of the source, or new codec parameters)
 *   finishes the segment; the next one starts with the new parameters.
 * - Timestamps that go back, or jump forward by more than `max_jump_seconds`,
 *   without a new stream record (an encoder that loops or restarts, a
 *   transport stream's discontinuity) finish the segment; the next starts at
 *   the next key frame. Each jump is logged once.
 * - Segments are cut at the first key frame at or after each boundary,
 *   boundaries lying `segment_seconds` apart on the stream's clock, within
 *   half a frame, so key frames that jitter around a boundary do not make
 *   every other segment a picture group longer.
 * - Close lets the writer finish its queue and the open segment, so every
 *   finished file plays, then joins it; the releases it sends meanwhile are
 *   still accepted by the service.
 */
#include <errno.h>
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/pixdesc.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "../common/host_services.h"
#include "../common/module_config.h"
#include "audio_track.h"
#include "disk_fault.h"
#include "recording_commands.h"
#include "retention.h"
#include "segment_file.h"
#include "segment_index.h"
#include "modules/module_api.h"
#include "routing/command_api.h"
#include "routing/message_api.h"
#include "routing/video_api.h"

#define EXPORT __attribute__((visibility("default")))

/* Settings, read in Load and only read afterwards. */
typedef struct Settings {
    char directory[2048];
    const char* format;      /* libavformat's muxer name */
    const char* extension;
    uint64_t module_id;
    int any_source;          /* record every camera, or only `source` */
    uint64_t source;
    int64_t segment_us;
    int64_t max_jump_us;
    RetentionLimits limits;
    int64_t max_held_bytes;
} Settings;

#define RECORDER_CAMERAS DISK_FAULT_CAMERAS

/* A kept payload with its record, waiting for the writer. */
typedef struct Item {
    int is_packet;            /* a packet, else a stream record */
    int is_audio;             /* of the camera's audio, else of its video */
    VideoPacket packet;
    char camera[32];          /* the packet's camera, NUL-terminated */
    VideoStreamFormat stream; /* a video stream record; stream.size tells whether the format is there */
    AudioStream audio;        /* an audio stream record */
    void* data;
    int32_t length;
    struct Item* next;
} Item;

/* What the writer thread alone knows about the recording of one camera. */
typedef struct Recording {
    uint64_t source;
    char camera[32];           /* named by its packets; "camera<source>" when they do not say */
    AVCodecParameters* params; /* of the current serial; null until a BEGIN with a known codec */
    AVRational time_base;
    AVRational frame_rate;     /* nominal; 0/0 when unknown */
    int64_t half_frame;        /* half the nominal frame duration in time_base; 0 when unknown */
    int64_t boundary;          /* pts at which the next segment is due, once a segment was started */
    int have_boundary;
    uint32_t serial;
    int have_sequence;
    uint64_t next_sequence;
    int need_key;              /* after a gap or a failure: skip to the next key frame */
    AVFormatContext* output;   /* the open segment, or null */
    char name[256];            /* "<camera>/<day>/<file>" */
    char path[2400];
    int64_t start_us;          /* the segment's wall clock start, as in its name */
    int64_t end_us;            /* the wall clock end of the latest segment; 0 before the first */
    int have_anchor;           /* anchor_us is the wall clock time of anchor_pts */
    int64_t anchor_us;
    int64_t anchor_pts;
    int64_t origin;            /* the segment's first dts: written timestamps start at 0 */
    int64_t first_pts;
    int64_t end_pts;           /* the latest pts + duration */
    int64_t last_dts;
    unsigned long packets;     /* in the open segment */
    unsigned long key_frames;  /* likewise */
    unsigned long gaps;        /* likewise: places where packets were lost */
    AVPacket* packet;
    AudioTrack audio;
    struct Item* waiting;      /* video packets held back while the audio lags, oldest first */
    struct Item* waiting_tail;
} Recording;

static Settings settings;
static OrvCallback send_message;
static pthread_t writer;
static int writer_running;   /* set by Open before Write can be called, cleared by Close after the join */
static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static pthread_cond_t queued;      /* monotonic clock; made in Load */
static int writer_sleeping;  /* guarded by lock: the writer waits for a signal, not for a time */
static Item* head;           /* guarded by lock: kept payloads in arrival order */
static Item* tail;           /* guarded by lock */
static int64_t held_bytes;   /* guarded by lock: payload bytes queued or being written (until the
                                writer next takes the queue) */
static int closing;          /* guarded by lock */
static int dropping;         /* guarded by lock: the latest packet was dropped beyond the bound */
static unsigned long dropped;           /* guarded by lock */
/* Writer thread only (read by Unload after the join). */
static unsigned long segments, written, lost, skipped;
static Recording recordings[RECORDER_CAMERAS]; /* the first `cameras` are in use */
static Retention retention;
static DiskFault disk_fault;
static SegmentIndex segment_index;
/* Health through the host's metrics (0: none); set in Load. */
static int64_t segments_metric, bytes_metric, deleted_metric, free_metric, disk_errors_metric;
static int cameras;

static void read_settings(void)
{
    ModuleConfig config;
    const int found = module_config_load(&config, (const void*)read_settings);
    settings.module_id = (uint64_t)module_config_number(&config, "module_id", 0x500);
    host_services_find("segment_recorder", settings.module_id);
    if (!found)
        host_log(ORV_LOG_WARNING, "cannot read %s, using the defaults", config.path);
    snprintf(settings.directory, sizeof settings.directory, "%s",
             module_config_text(&config, "directory", "/var/lib/orvantis/recordings"));
    int mp4 = strcmp(module_config_text(&config, "format", "mkv"), "mp4") == 0;
    settings.format = mp4 ? "mp4" : "matroska";
    settings.extension = mp4 ? "mp4" : "mkv";
    settings.any_source = module_config_number(&config, "source", 0) <= 0;
    settings.source = (uint64_t)module_config_number(&config, "source", 0);
    settings.segment_us = module_config_number(&config, "segment_seconds", 60) * 1000000;
    settings.max_jump_us = module_config_number(&config, "max_jump_seconds", 10) * 1000000;
    settings.max_held_bytes = module_config_number(&config, "max_held_bytes", 16 << 20);
    const int64_t hour_us = INT64_C(3600000000), megabyte = 1 << 20;
    settings.limits.max_age_us = module_config_number(&config, "max_age_hours", 0) * hour_us;
    settings.limits.max_bytes = module_config_number(&config, "max_megabytes", 0) * megabyte;
    settings.limits.camera_max_age_us = module_config_number(&config, "camera_max_age_hours", 0) * hour_us;
    settings.limits.camera_max_bytes = module_config_number(&config, "camera_max_megabytes", 0) * megabyte;
    settings.limits.min_free_bytes = module_config_number(&config, "min_free_megabytes", 256) * megabyte;
}

static void release(void* data)
{
    Message message;
    MessageResult result = {sizeof result, 1, 0};
    memset(&message, 0, sizeof message);
    message.size = sizeof message;
    message.version = ORV_MESSAGE_VERSION;
    message.flags = ORV_CMD_RELEASE;
    message.data = data;
    message.source_id = settings.module_id;
    send_message(&message, &result);
}

/* ---- segments (writer thread) ------------------------------------------- */

/* Creates the directory and its missing parents. */
static int make_directory(const char* path)
{
    char partial[2400];
    snprintf(partial, sizeof partial, "%s", path);
    for (char* slash = strchr(partial + 1, '/');; slash = strchr(slash + 1, '/')) {
        if (slash)
            *slash = 0;
        if (mkdir(partial, 0755) != 0 && errno != EEXIST)
            return 0;
        if (!slash)
            return 1;
        *slash = '/';
    }
}

/* "<directory>/<camera>/<UTC day>/<UTC start time>.<ext>", with a suffix
 * when that exists; makes the folders. 0 when they cannot be made. */
static int name_segment(Recording* recording, int64_t capture_time_us)
{
    time_t seconds = (time_t)(capture_time_us / 1000000);
    struct tm utc;
    char day[16], stamp[32], folder[2100];
    gmtime_r(&seconds, &utc);
    strftime(day, sizeof day, "%Y-%m-%d", &utc);
    strftime(stamp, sizeof stamp, "%Y%m%dT%H%M%S", &utc);
    snprintf(folder, sizeof folder, "%s/%s/%s", settings.directory, recording->camera, day);
    int millis = (int)(capture_time_us / 1000 % 1000);
    for (int n = 0;; ++n) {
        if (n == 0)
            snprintf(recording->name, sizeof recording->name, "%s/%s/%s.%03dZ.%s", recording->camera, day, stamp,
                     millis, settings.extension);
        else
            snprintf(recording->name, sizeof recording->name, "%s/%s/%s.%03dZ-%d.%s", recording->camera, day, stamp,
                     millis, n, settings.extension);
        snprintf(recording->path, sizeof recording->path, "%s/%s", settings.directory, recording->name);
        if (access(recording->path, F_OK) != 0)
            break;
    }
    return make_directory(folder);
}

/* Closes the segment's file, synced to the disk when `complete`; 0 or the
 * file's first error. */
static int close_output(Recording* recording, int complete)
{
    audio_track_stop(&recording->audio);
    int error = segment_file_close(recording->output, complete);
    avformat_free_context(recording->output);
    recording->output = NULL;
    return error;
}

/* Counts a disk error; the fault it belongs to is logged once. */
static void disk_error(Recording* recording, const char* what, int error)
{
    host_metric_add(disk_errors_metric, 1);
    if (disk_fault_raise(&disk_fault, (int)(recording - recordings), what, recording->path, error, lost))
        recording_commands_disk_error(recording->source, recording->camera, recording->path, error);
}

/* Moves the next boundary past `pts`, the start of a segment: boundaries lie
 * a segment length apart from the first segment of the stream on. */
static void follow_boundary(Recording* recording, int64_t pts)
{
    int64_t length = av_rescale_q(settings.segment_us, AV_TIME_BASE_Q, recording->time_base);
    if (length <= 0)
        length = 1;
    if (!recording->have_boundary || pts < recording->boundary - length) /* first, or timestamps went back */
        recording->boundary = pts;
    recording->have_boundary = 1;
    int64_t passed = pts - (recording->boundary - recording->half_frame);
    if (passed >= 0)
        recording->boundary += (passed / length + 1) * length;
}

/* Both muxers build a cluster (Matroska) or a fragment (MP4) in memory,
 * grown by copying, before they write it: one of a whole picture group (a
 * megabyte at 4 Mbit/s) cost every camera megabytes of memory and the
 * writer its copies. One still starts at every key frame, and also once the
 * previous one holds this much. */
#define PIECE_BYTES "65536"

/* The muxer's options that keep an unfinished segment playable and its
 * buffers small. */
static AVDictionary* muxer_options(void)
{
    AVDictionary* options = NULL;
    if (strcmp(settings.format, "mp4") == 0) {
        av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
        av_dict_set(&options, "frag_size", PIECE_BYTES, 0);
    } else {
        av_dict_set(&options, "write_crc32", "0", 0); /* it cost a tenth of the CPU; no player checks it */
        av_dict_set(&options, "cluster_size_limit", PIECE_BYTES, 0);
    }
    return options;
}

/* The wall clock time of `pts`: on the stream's clock from the latest
 * anchor, so that the segments of a connection follow each other without a
 * gap or an overlap; anchored again at the capture time when the two clocks
 * have parted by more than a second (a new connection, a camera's drifting
 * clock), but never before the end of the camera's previous segment, so
 * that names sort in recording order even for a file read faster than real
 * time. */
static int64_t wall_time_of(Recording* recording, const VideoPacket* first, int64_t pts)
{
    if (recording->have_anchor) {
        int64_t at = recording->anchor_us + av_rescale_q(pts - recording->anchor_pts, recording->time_base,
                                                         AV_TIME_BASE_Q);
        if (llabs(at - first->capture_time_us) <= 1000000)
            return at;
    }
    recording->have_anchor = 1;
    recording->anchor_us = first->capture_time_us > recording->end_us ? first->capture_time_us : recording->end_us;
    recording->anchor_pts = pts;
    return recording->anchor_us;
}

static int open_segment(Recording* recording, const VideoPacket* first, int64_t dts)
{
    recording->start_us = wall_time_of(recording, first, first->pts != ORV_VIDEO_NO_TIMESTAMP ? first->pts : dts);
    retention_enforce(&retention, first->capture_time_us);
    struct statvfs disk;
    if (statvfs(settings.directory, &disk) == 0)
        host_metric_set(free_metric, (double)disk.f_bavail * (double)disk.f_frsize);
    if (!name_segment(recording, recording->start_us)) {
        disk_error(recording, "cannot make the folder of", AVERROR(errno));
        return 0;
    }
    int error = avformat_alloc_output_context2(&recording->output, NULL, settings.format, recording->path);
    if (error < 0) {
        disk_error(recording, "cannot start", error);
        return 0;
    }
    AVStream* stream = avformat_new_stream(recording->output, NULL);
    error = stream ? avcodec_parameters_copy(stream->codecpar, recording->params) : AVERROR(ENOMEM);
    if (error >= 0) {
        stream->codecpar->codec_tag = 0;
        stream->time_base = recording->time_base;
        stream->avg_frame_rate = recording->frame_rate;
        error = audio_track_add_stream(&recording->audio, recording->output);
    }
    if (error >= 0)
        error = segment_file_open(recording->output, recording->path, &retention);
    if (error >= 0) {
        AVDictionary* options = muxer_options();
        error = avformat_write_header(recording->output, &options);
        av_dict_free(&options);
    }
    if (error < 0) {
        disk_error(recording, "cannot start", error);
        close_output(recording, 0);
        unlink(recording->path);
        return 0;
    }
    recording->first_pts = first->pts != ORV_VIDEO_NO_TIMESTAMP ? first->pts : dts;
    recording->origin = recording->first_pts; /* the key frame shows at 0 */
    audio_track_start(&recording->audio, recording->origin, recording->time_base);
    follow_boundary(recording, recording->first_pts);
    recording->end_pts = recording->first_pts;
    recording->last_dts = INT64_MIN;
    recording->packets = 0;
    recording->key_frames = 0;
    recording->gaps = 0;
    return 1;
}

/* A segment that could not be written to its end: its file stays as it is,
 * and its packets count as lost. */
static void fail_segment(Recording* recording, const char* what, int error)
{
    disk_error(recording, what, error);
    lost += recording->packets;
    written -= recording->packets;
}

/* Reads the finished file's header back: a muxer may write an unreadable
 * one (an empty codec box) and still report success. 0, or the error. */
static int read_back(const Recording* recording)
{
    AVFormatContext* input = NULL;
    int error = avformat_open_input(&input, recording->path, NULL, NULL);
    if (error < 0)
        return error;
    const AVCodecParameters* params = input->nb_streams >= 1 ? input->streams[0]->codecpar : NULL;
    if (!params || params->codec_id != recording->params->codec_id || params->width != recording->params->width ||
        params->height != recording->params->height)
        error = AVERROR_INVALIDDATA;
    avformat_close_input(&input);
    return error;
}

/* Notes the closed segment's wall clock end; its length in seconds. */
static double note_end(Recording* recording)
{
    const double seconds = (double)(recording->end_pts - recording->first_pts) * av_q2d(recording->time_base);
    recording->end_us = recording->start_us + (int64_t)(seconds * 1000000);
    return seconds;
}

static void finish_segment(Recording* recording)
{
    if (!recording->output)
        return;
    int error = audio_track_write(&recording->audio, recording->end_pts, 0); /* the audio up to the video's end */
    if (error >= 0)
        error = av_write_trailer(recording->output);
    const int closed = close_output(recording, error >= 0);
    const double seconds = note_end(recording);
    if (error >= 0)
        error = closed;
    if (error >= 0)
        error = read_back(recording);
    ++segments;
    if (error < 0) {
        fail_segment(recording, "cannot finish", error);
        return;
    }
    host_log(ORV_LOG_INFO, "finished %s: %lu packets, %.1f s", recording->name, recording->packets,
            seconds);
    struct stat status;
    if (stat(recording->path, &status) == 0) {
        retention_add(&retention, recording->name, recording->start_us, (int64_t)status.st_size);
        host_metric_add(segments_metric, 1);
        host_metric_add(bytes_metric, (double)status.st_size);
        const int64_t start_ms = recording->start_us / 1000;
        SegmentIndexRow row = {recording->camera, recording->name, start_ms, start_ms + (int64_t)(seconds * 1000),
                               (int64_t)status.st_size, (long)recording->key_frames, (long)recording->gaps};
        segment_index_add(&segment_index, &row);
        recording_commands_finished(recording->source, recording->camera, recording->path, row.start_ms,
                                    row.end_ms - row.start_ms, (uint64_t)status.st_size, recording->packets,
                                    recording->key_frames, recording->gaps);
    }
    disk_fault_clear(&disk_fault, (int)(recording - recordings), lost);
}

/* Closes the segment after a write error. */
static void abandon_segment(Recording* recording, int error)
{
    av_write_trailer(recording->output);
    close_output(recording, 0);
    note_end(recording);
    ++segments;
    fail_segment(recording, "cannot write", error);
    recording->need_key = 1;
}

static int write_packet(Recording* recording, const VideoPacket* record, void* data, int32_t length, int64_t dts)
{
    AVPacket* packet = recording->packet;
    packet->data = data;
    packet->size = length;
    packet->stream_index = 0;
    packet->pts = record->pts != ORV_VIDEO_NO_TIMESTAMP ? record->pts - recording->origin : AV_NOPTS_VALUE;
    packet->dts = dts - recording->origin;
    packet->duration = record->duration;
    packet->flags = (record->packet_flags & ORV_VIDEO_KEY_FRAME) ? AV_PKT_FLAG_KEY : 0;
    av_packet_rescale_ts(packet, recording->time_base, recording->output->streams[0]->time_base);
    int error = av_write_frame(recording->output, packet);
    av_packet_unref(packet); /* not reference-counted: the payload stays ours until released */
    if (error >= 0 && (record->packet_flags & ORV_VIDEO_KEY_FRAME)) {
        avio_flush(recording->output->pb); /* the picture groups before this one reach the kernel */
        error = recording->output->pb->error;
    }
    if (error >= 0)
        error = audio_track_write(&recording->audio, dts, 1);
    return error;
}

/* ---- the writer's handling of records ----------------------------------- */

/* The format a muxer needs besides codec, size and extradata. */
static void apply_format(AVCodecParameters* params, const VideoFormat* format)
{
    char pixels[sizeof format->pixel_format + 1];
    snprintf(pixels, sizeof pixels, "%.*s", (int)sizeof format->pixel_format, format->pixel_format);
    params->format = pixels[0] ? av_get_pix_fmt(pixels) : AV_PIX_FMT_NONE;
    params->profile = format->profile;
    params->level = format->level;
    params->color_range = (enum AVColorRange)format->color_range;
    params->color_primaries = (enum AVColorPrimaries)format->color_primaries;
    params->color_trc = (enum AVColorTransferCharacteristic)format->color_transfer;
    params->color_space = (enum AVColorSpace)format->color_space;
    params->chroma_location = (enum AVChromaLocation)format->chroma_location;
    params->field_order = (enum AVFieldOrder)format->field_order;
    params->bits_per_raw_sample = format->bits_per_sample;
    if (format->aspect_num > 0 && format->aspect_den > 0)
        params->sample_aspect_ratio = (AVRational){format->aspect_num, format->aspect_den};
    params->video_delay = (int)format->video_delay;
}

static void begin_stream(Recording* recording, const VideoStreamFormat* full, const void* extradata, int32_t length)
{
    const VideoStream* record = &full->stream;
    finish_segment(recording);
    avcodec_parameters_free(&recording->params);
    recording->serial = record->serial;
    recording->have_sequence = 0;
    recording->need_key = 1;
    const AVCodecDescriptor* codec = avcodec_descriptor_get_by_name(record->codec);
    if (!codec || record->time_base_num <= 0 || record->time_base_den <= 0) {
        host_log(ORV_LOG_WARNING, "cannot record stream %u (codec \"%.*s\")", record->serial,
                (int)sizeof record->codec, record->codec);
        return;
    }
    AVCodecParameters* params = avcodec_parameters_alloc();
    if (!params)
        return;
    params->codec_type = AVMEDIA_TYPE_VIDEO;
    params->codec_id = codec->id;
    params->width = (int)record->width;
    params->height = (int)record->height;
    if (extradata && length > 0 && (params->extradata = av_mallocz((size_t)length + AV_INPUT_BUFFER_PADDING_SIZE))) {
        memcpy(params->extradata, extradata, (size_t)length);
        params->extradata_size = length;
    }
    if (record->size >= sizeof *full)
        apply_format(params, &full->format);
    recording->params = params;
    recording->time_base = (AVRational){record->time_base_num, record->time_base_den};
    recording->frame_rate = (AVRational){0, 0};
    recording->half_frame = 0;
    if (record->frame_rate_num > 0 && record->frame_rate_den > 0) {
        recording->frame_rate = (AVRational){record->frame_rate_num, record->frame_rate_den};
        recording->half_frame = av_rescale_q(1, av_inv_q(recording->frame_rate), recording->time_base) / 2;
    }
    recording->have_boundary = 0;
    recording->have_anchor = 0;
}

static void handle_stream(Recording* recording, const Item* item)
{
    if (item->stream.stream.status == ORV_VIDEO_STREAM_BEGIN)
        begin_stream(recording, &item->stream, item->data, item->length);
    else if (item->stream.stream.status == ORV_VIDEO_STREAM_END && item->stream.stream.serial == recording->serial)
        finish_segment(recording);
}

/* Notes a jump in the sequence numbers: packets were lost before this one. */
static void follow_sequence(Recording* recording, const VideoPacket* record)
{
    if (recording->have_sequence && record->sequence != recording->next_sequence) {
        host_log(ORV_LOG_WARNING, "%llu packets missing before packet %llu, waiting for a key frame",
                (unsigned long long)(record->sequence - recording->next_sequence),
                (unsigned long long)record->sequence);
        recording->need_key = 1;
        recording->gaps += recording->output != NULL;
    }
    recording->have_sequence = 1;
    recording->next_sequence = record->sequence + 1;
}

static int segment_is_due(const Recording* recording, const VideoPacket* record)
{
    if (!recording->output)
        return 1;
    int64_t pts = record->pts != ORV_VIDEO_NO_TIMESTAMP ? record->pts : record->dts;
    return pts >= recording->boundary - recording->half_frame;
}

/* Whether dts went back, or forward by more than the jump bound, within the
 * open segment. The segment is then finished and the boundaries follow the
 * new timeline; the next key frame starts the next segment. */
static int timestamps_jump(Recording* recording, int64_t dts)
{
    if (!recording->output || recording->last_dts == INT64_MIN)
        return 0;
    const int64_t bound = av_rescale_q(settings.max_jump_us, AV_TIME_BASE_Q, recording->time_base);
    if (dts > recording->last_dts && dts - recording->last_dts <= bound)
        return 0;
    const double step = (double)(dts - recording->last_dts) * av_q2d(recording->time_base);
    host_log(ORV_LOG_WARNING, "%s: timestamps jump by %.3f s, a new segment at the next key frame",
            recording->camera, step);
    finish_segment(recording);
    recording->have_boundary = 0;
    recording->have_anchor = 0;
    recording->need_key = 1;
    return 1;
}

static void handle_packet(Recording* recording, const Item* item)
{
    const VideoPacket* record = &item->packet;
    if (item->camera[0])
        memcpy(recording->camera, item->camera, sizeof recording->camera);
    if (recording_commands_paused(recording->camera)) { /* resumed at a key frame, no gap logged */
        finish_segment(recording);
        recording->have_sequence = 0;
        return;
    }
    if (!recording->params || record->serial != recording->serial) {
        ++skipped;
        return;
    }
    follow_sequence(recording, record);
    int key = (record->packet_flags & ORV_VIDEO_KEY_FRAME) != 0;
    int64_t dts = record->dts != ORV_VIDEO_NO_TIMESTAMP ? record->dts : record->pts;
    if (dts == ORV_VIDEO_NO_TIMESTAMP) {
        ++skipped;
        recording->need_key = 1;
        return;
    }
    timestamps_jump(recording, dts);
    if ((recording->need_key || !recording->output) && !key) {
        ++skipped;
        return;
    }
    recording->need_key = 0;
    if (key && segment_is_due(recording, record)) {
        finish_segment(recording);
        if (!open_segment(recording, record, dts)) {
            ++lost;
            recording->need_key = 1;
            return;
        }
    }
    if (dts <= recording->last_dts) { /* the muxer refuses dts that do not increase */
        ++skipped;
        recording->need_key = 1;
        return;
    }
    int error = write_packet(recording, record, item->data, item->length, dts);
    if (error < 0) {
        ++lost;
        abandon_segment(recording, error);
        return;
    }
    ++written;
    ++recording->packets;
    recording->key_frames += key;
    recording->last_dts = dts;
    int64_t pts = record->pts != ORV_VIDEO_NO_TIMESTAMP ? record->pts : dts;
    if (pts + record->duration > recording->end_pts)
        recording->end_pts = pts + record->duration;
}

static void handle_audio(Recording* recording, const Item* item)
{
    if (item->camera[0])
        memcpy(recording->camera, item->camera, sizeof recording->camera);
    if (!item->is_packet) {
        if (!audio_track_stream(&recording->audio, &item->audio, item->data, item->length))
            host_log(ORV_LOG_WARNING, "%s: cannot record audio %u (codec \"%.*s\")", recording->camera,
                     item->audio.serial, (int)sizeof item->audio.codec, item->audio.codec);
        return;
    }
    int error = audio_track_packet(&recording->audio, &item->packet, item->data, item->length);
    if (error < 0)
        abandon_segment(recording, error);
}

/* ---- video in step with audio (writer thread) ---------------------------- */

/* An input may deliver audio up to this long after the video of the same
 * moment; video waits no longer than that for it. */
#define AUDIO_LAG_US 1000000

static void done_with(Item* item);

static int64_t time_of(const VideoPacket* record)
{
    return record->pts != ORV_VIDEO_NO_TIMESTAMP ? record->pts : record->dts;
}

/* Whether the oldest waiting video packet may be written: the audio has
 * come up to it, or the newest waiting one is more than the lag later (or
 * not comparable: no stream, no time, a jump back). */
static int may_go(const Recording* recording)
{
    const int64_t at = time_of(&recording->waiting->packet);
    const int64_t newest = time_of(&recording->waiting_tail->packet);
    if (!recording->params || at == ORV_VIDEO_NO_TIMESTAMP || newest == ORV_VIDEO_NO_TIMESTAMP || newest < at)
        return 1;
    const int64_t lag = av_rescale_q(AUDIO_LAG_US, AV_TIME_BASE_Q, recording->time_base);
    return newest - at > lag || audio_track_reached(&recording->audio, at, recording->time_base);
}

/* Writes the waiting video packets that may go, or `all` of them. */
static void release_waiting(Recording* recording, int all)
{
    while (recording->waiting && (all || may_go(recording))) {
        Item* item = recording->waiting;
        recording->waiting = item->next;
        if (!recording->waiting)
            recording->waiting_tail = NULL;
        handle_packet(recording, item);
        done_with(item);
    }
}

/* Takes a record off the queue: video packets wait for their audio, and
 * any other record comes after the video packets before it. */
static void handle_item(Recording* recording, Item* item)
{
    if (item->is_packet && !item->is_audio) {
        item->next = NULL;
        if (recording->waiting_tail)
            recording->waiting_tail->next = item;
        else
            recording->waiting = item;
        recording->waiting_tail = item;
    } else {
        if (!item->is_packet)
            release_waiting(recording, 1);
        if (item->is_audio)
            handle_audio(recording, item);
        else
            handle_stream(recording, item);
        done_with(item);
    }
    release_waiting(recording, 0);
}

/* ---- the writer thread and its queue ------------------------------------ */

/* Once the queue runs empty the writer lets packets gather this long before
 * it looks again, and Write wakes it only when it sleeps on an empty queue
 * (or the queue holds a quarter of the bound): a busy recorder wakes a few
 * times a second, not for every packet. */
#define WRITER_BATCH_US 50000

/* Writer thread only: payload bytes done with since the queue was last taken. */
static int64_t released_bytes;

/* Takes every queued payload, oldest first; null once closing and the queue
 * is empty. */
static Item* next_items(void)
{
    pthread_mutex_lock(&lock);
    held_bytes -= released_bytes;
    released_bytes = 0;
    if (!head && !closing) {
        struct timespec until;
        clock_gettime(CLOCK_MONOTONIC, &until);
        until.tv_nsec += WRITER_BATCH_US * 1000;
        until.tv_sec += until.tv_nsec / 1000000000;
        until.tv_nsec %= 1000000000;
        pthread_cond_timedwait(&queued, &lock, &until);
    }
    while (!head && !closing) {
        writer_sleeping = 1;
        pthread_cond_wait(&queued, &lock);
    }
    writer_sleeping = 0;
    Item* items = head;
    head = tail = NULL;
    pthread_mutex_unlock(&lock);
    return items;
}

static void done_with(Item* item)
{
    if (item->data)
        release(item->data);
    released_bytes += item->length;
    free(item);
}

static uint64_t source_of(const Item* item)
{
    return item->is_packet ? item->packet.source : item->is_audio ? item->audio.source : item->stream.stream.source;
}

/* The recording of `source`, made on its first record; null beyond the
 * bound of cameras. */
static Recording* recording_of(uint64_t source)
{
    for (int i = 0; i < cameras; ++i)
        if (recordings[i].source == source)
            return &recordings[i];
    if (cameras == RECORDER_CAMERAS) {
        host_log(ORV_LOG_WARNING, "more than %d cameras, source %llu not recorded", RECORDER_CAMERAS,
                (unsigned long long)source);
        return NULL;
    }
    Recording* recording = &recordings[cameras++];
    memset(recording, 0, sizeof *recording);
    recording->source = source;
    snprintf(recording->camera, sizeof recording->camera, "camera%llu", (unsigned long long)source);
    recording->packet = av_packet_alloc();
    audio_track_init(&recording->audio, recording->camera);
    return recording;
}

static void forget_segment(void* index, const char* name)
{
    host_metric_add(deleted_metric, 1);
    segment_index_remove(index, name);
}

static void* write_segments(void* unused)
{
    (void)unused;
    retention_start(&retention, settings.directory, settings.limits);
    segment_index_open(&segment_index, settings.directory, &retention);
    retention.on_delete = forget_segment;
    retention.context = &segment_index;
    Item* items;
    while ((items = next_items())) {
        while (items) {
            Item* item = items;
            items = item->next;
            Recording* recording = recording_of(source_of(item));
            if (recording && recording->packet) {
                handle_item(recording, item);
            } else {
                ++lost;
                done_with(item);
            }
        }
    }
    for (int i = 0; i < cameras; ++i) {
        release_waiting(&recordings[i], 1);
        finish_segment(&recordings[i]);
        avcodec_parameters_free(&recordings[i].params);
        av_packet_free(&recordings[i].packet);
        audio_track_free(&recordings[i].audio);
    }
    retention_stop(&retention);
    segment_index_close(&segment_index);
    return NULL;
}

/* Queues a kept payload; false when it is beyond the bound or no memory. */
static int enqueue(Item* item)
{
    int announce = 0;
    pthread_mutex_lock(&lock);
    int keep = !item->is_packet || held_bytes + item->length <= settings.max_held_bytes;
    if (keep) {
        held_bytes += item->length;
        if (tail)
            tail->next = item;
        else
            head = item;
        tail = item;
        if (writer_sleeping || held_bytes > settings.max_held_bytes / 4)
            pthread_cond_signal(&queued);
    } else {
        ++dropped;
    }
    if (item->is_packet && dropping != !keep) {
        dropping = !keep;
        announce = 1;
    }
    int64_t held = held_bytes;
    unsigned long total = dropped;
    pthread_mutex_unlock(&lock);
    if (announce && !keep)
        host_log(ORV_LOG_WARNING, "%lld bytes held, dropping packets until the disk catches up",
                (long long)held);
    else if (announce)
        host_log(ORV_LOG_NOTICE, "keeping packets again, %lu dropped so far", total);
    return keep;
}

/* Whether the packet names its camera by a NUL-terminated name that can be a
 * folder's: not empty, no '/', not "." or "..". */
static int camera_name_ok(const void* body)
{
    const char* name = ((const VideoPacketCamera*)body)->camera;
    const size_t n = strnlen(name, sizeof((VideoPacketCamera*)0)->camera);
    return n > 0 && n < sizeof((VideoPacketCamera*)0)->camera && !memchr(name, '/', n) && name[0] != '.';
}

/* Every record starts with these. */
typedef struct RecordHeader {
    uint32_t size;
    uint32_t version;
    uint64_t source;
} RecordHeader;

/* The record in a Write of a recorded camera, or null. */
static Item* item_of(const WriteArgs* args)
{
    const uint64_t event = args->event;
    const int is_packet = event == ORV_EVENT_VIDEO_PACKET || event == ORV_EVENT_AUDIO_PACKET;
    const int is_audio = event == ORV_EVENT_AUDIO_PACKET || event == ORV_EVENT_AUDIO_STREAM;
    if (!is_packet && !is_audio && event != ORV_EVENT_VIDEO_STREAM)
        return NULL;
    RecordHeader header;
    memcpy(&header, args->body, sizeof header);
    const size_t least = is_packet ? sizeof(VideoPacket) : is_audio ? sizeof(AudioStream) : sizeof(VideoStream);
    if (header.size < least || header.version != ORV_VIDEO_RECORD_VERSION ||
        (!settings.any_source && header.source != settings.source))
        return NULL;
    Item* item = calloc(1, sizeof *item);
    if (!item)
        return NULL;
    item->is_packet = is_packet;
    item->is_audio = is_audio;
    if (is_packet) {
        memcpy(&item->packet, args->body, sizeof item->packet);
        if (item->packet.size >= sizeof(VideoPacketCamera) && camera_name_ok(args->body))
            memcpy(item->camera, ((const VideoPacketCamera*)args->body)->camera, sizeof item->camera);
    } else if (is_audio) {
        memcpy(&item->audio, args->body, sizeof item->audio);
    } else {
        memcpy(&item->stream, args->body, sizeof item->stream);
    }
    item->data = args->length > 0 ? args->data : NULL;
    item->length = item->data ? args->length : 0;
    return item;
}

/* ---- entry points ------------------------------------------------------- */

EXPORT int32_t Load(void* in, void* out)
{
    LoadArgs* args = in;
    ModuleInfo* info = out;
    send_message = args->callback;
    pthread_condattr_t attributes;
    pthread_condattr_init(&attributes);
    pthread_condattr_setclock(&attributes, CLOCK_MONOTONIC);
    pthread_cond_init(&queued, &attributes);
    pthread_condattr_destroy(&attributes);
    read_settings();
    recording_commands_start(send_message, settings.module_id);
    segments_metric = host_metric(ORV_METRIC_COUNTER, "segment_recorder_segments_total", "segments finished", NULL);
    bytes_metric = host_metric(ORV_METRIC_COUNTER, "segment_recorder_bytes_total", "bytes of finished segments", NULL);
    deleted_metric = host_metric(ORV_METRIC_COUNTER, "segment_recorder_deleted_segments_total",
                                 "old segments deleted to keep within the limits", NULL);
    free_metric = host_metric(ORV_METRIC_GAUGE, "segment_recorder_free_bytes",
                              "free bytes on the recordings' file system at the latest segment start", NULL);
    disk_errors_metric = host_metric(ORV_METRIC_COUNTER, "segment_recorder_disk_errors_total",
                                     "segments that could not be started, written or finished", NULL);
    info->module_id = settings.module_id;
    info->class_mask[0] = ORV_VIDEO_PACKET_KEY | ORV_AUDIO_PACKET_KEY;
    info->class_mask[1] = ORV_VIDEO_STREAM_KEY | ORV_AUDIO_STREAM_KEY;
    info->class_mask[3] = ORV_COMMAND_KEY;
    info->class_mask[5] = 1; /* closes after the sources (larger key first) */
    info->accepts_write = 1;
    return 0;
}

EXPORT int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    if (!make_directory(settings.directory)) {
        host_log(ORV_LOG_ERROR, "cannot create %s: %s", settings.directory, strerror(errno));
        return 1;
    }
    writer_running = pthread_create(&writer, NULL, write_segments, NULL) == 0;
    if (writer_running)
        host_log(ORV_LOG_NOTICE, "recording %s into %s, %s segments of %lld s",
                settings.any_source ? "every camera" : "one source", settings.directory, settings.extension,
                (long long)(settings.segment_us / 1000000));
    return writer_running ? 0 : 1;
}

EXPORT int32_t Write(void* in, void* out)
{
    WriteArgs* args = in;
    WriteReply* reply = out;
    if (!writer_running || recording_commands_take(args))
        return 0;
    Item* item = item_of(args);
    if (!item)
        return 0;
    const int has_payload = item->data != NULL; /* once queued, the item is the writer's */
    if (!enqueue(item)) {
        free(item);
        return 0;
    }
    reply->keeps_buffer = has_payload;
    return 0;
}

EXPORT int32_t IOCTL(void* in, void* out)
{
    (void)in;
    (void)out;
    return 0;
}

EXPORT int32_t Close(void* in, void* out)
{
    (void)in;
    (void)out;
    pthread_mutex_lock(&lock);
    closing = 1;
    pthread_cond_signal(&queued);
    pthread_mutex_unlock(&lock);
    if (writer_running)
        pthread_join(writer, NULL);
    writer_running = 0;
    return 0;
}

EXPORT int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    host_log(ORV_LOG_NOTICE,
             "%lu segments, %lu packets written, %lu dropped beyond the hold bound, "
             "%lu lost to disk errors, %lu skipped to a key frame, %lu old segments deleted",
             segments, written, dropped, lost, skipped, retention.deleted);
    return 0;
}
