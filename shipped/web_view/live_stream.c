#include "live_stream.h"

#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#define MAX_SEGMENTS 16  /* window_segments + the open one */
#define MAX_PARTS 64     /* beyond, the last part of a long picture group grows */
#define IO_BUFFER_SIZE 65536
#define MAX_JUMP_US 10000000 /* a longer step forward starts afresh, as one back does */

typedef struct Part {
    size_t offset;
    size_t size;
    int64_t duration_us;
} Part;

typedef struct Segment {
    unsigned sequence;
    uint8_t* data;         /* the parts, back to back */
    size_t size, capacity;
    Part parts[MAX_PARTS];
    int part_count;
    int64_t start_us;      /* wall clock of its key frame */
    int finished;
} Segment;

struct LiveStream {
    pthread_mutex_t lock;  /* guards everything below */
    LiveLimits limits;
    /* The source's stream: set by a BEGIN. */
    AVCodecParameters* params;
    AVRational time_base;
    int64_t frame_duration; /* nominal, in time_base; 0 when unknown */
    uint32_t serial;
    LiveInfo info;
    int have_sequence;
    uint64_t next_sequence;
    /* The muxer of this generation, made at its first key frame. */
    AVFormatContext* muxer;
    uint8_t* pending;       /* what the muxer wrote since it was last taken */
    size_t pending_size, pending_capacity;
    uint8_t* init;
    size_t init_size;
    unsigned generation;
    int64_t origin;         /* the generation's first dts: muxed timestamps start at 0 */
    int need_key;
    AVPacket* held;         /* written once its successor tells its duration */
    int have_held;
    int64_t latest_dts;     /* the latest packet's dts taken into the muxer (held or written), muxed time */
    int64_t part_duration;  /* in time_base, written since the last part ended */
    /* The window, oldest first; the last may be open. */
    Segment* segments[MAX_SEGMENTS];
    int segment_count;
    unsigned next_segment;
    /* For snapshots. */
    AVPacket* key_frame;
};

/* ---- memory of bytes ------------------------------------------------------ */

static int append(uint8_t** data, size_t* size, size_t* capacity, const uint8_t* bytes, size_t length)
{
    if (*size + length > *capacity) {
        size_t grown = *capacity ? *capacity : 4096;
        while (grown < *size + length)
            grown *= 2;
        uint8_t* larger = realloc(*data, grown);
        if (!larger)
            return 0;
        *data = larger;
        *capacity = grown;
    }
    memcpy(*data + *size, bytes, length);
    *size += length;
    return 1;
}

static void* copy_bytes(const void* bytes, size_t length)
{
    void* copy = malloc(length ? length : 1);
    if (copy)
        memcpy(copy, bytes, length);
    return copy;
}

/* The muxer's output lands in `pending`; a failed append makes the muxer fail. */
static int write_out(void* opaque, uint8_t* bytes, int length)
{
    LiveStream* stream = opaque;
    return append(&stream->pending, &stream->pending_size, &stream->pending_capacity, bytes, (size_t)length)
               ? length
               : AVERROR(ENOMEM);
}

/* ---- the codec string ------------------------------------------------------ */

static const uint8_t* find_box(const uint8_t* bytes, size_t size, const char* type, size_t need)
{
    for (size_t i = 4; i + 4 + need <= size; ++i)
        if (memcmp(bytes + i, type, 4) == 0)
            return bytes + i + 4;
    return NULL;
}

static uint32_t reverse_bits(uint32_t value)
{
    uint32_t result = 0;
    for (int i = 0; i < 32; ++i, value >>= 1)
        result = (result << 1) | (value & 1);
    return result;
}

/* RFC 6381's string for the sample entry the muxer wrote (ISO/IEC 14496-15
 * annexes), from the initialisation segment; empty for other codecs. */
static void codec_string(const uint8_t* init, size_t size, char* text, size_t text_size)
{
    const uint8_t* avc = find_box(init, size, "avcC", 4);
    const uint8_t* hevc = find_box(init, size, "hvcC", 13);
    text[0] = '\0';
    if (avc) {
        snprintf(text, text_size, "avc1.%02x%02x%02x", avc[1], avc[2], avc[3]);
    } else if (hevc) {
        static const char* spaces[] = {"", "A", "B", "C"};
        const uint32_t compatible = (uint32_t)hevc[2] << 24 | (uint32_t)hevc[3] << 16 | (uint32_t)hevc[4] << 8 | hevc[5];
        int length = snprintf(text, text_size, "hvc1.%s%d.%x.%c%d", spaces[hevc[1] >> 6], hevc[1] & 0x1f,
                              reverse_bits(compatible), hevc[1] & 0x20 ? 'H' : 'L', hevc[12]);
        int last = 5;  /* constraint bytes, trailing zero bytes left out */
        while (last >= 0 && hevc[6 + last] == 0)
            --last;
        for (int i = 0; i <= last && length > 0 && (size_t)length + 4 < text_size; ++i)
            length += snprintf(text + length, text_size - (size_t)length, ".%02x", hevc[6 + i]);
    }
}

/* ---- the window --------------------------------------------------------------- */

static void free_segment(Segment* segment)
{
    if (segment)
        free(segment->data);
    free(segment);
}

static Segment* open_segment(LiveStream* stream)
{
    Segment* last = stream->segment_count ? stream->segments[stream->segment_count - 1] : NULL;
    return last && !last->finished ? last : NULL;
}

static size_t window_bytes(const LiveStream* stream)
{
    size_t total = 0;
    for (int i = 0; i < stream->segment_count; ++i)
        total += stream->segments[i]->size;
    return total;
}

static void drop_oldest(LiveStream* stream)
{
    free_segment(stream->segments[0]);
    memmove(stream->segments, stream->segments + 1, (size_t)(stream->segment_count - 1) * sizeof(Segment*));
    --stream->segment_count;
}

/* Keeps the window within its bounds; never drops the open segment. */
static void trim_window(LiveStream* stream)
{
    const int open = open_segment(stream) != NULL;
    while (stream->segment_count > open &&
           (stream->segment_count - open > stream->limits.window_segments ||
            (int64_t)window_bytes(stream) > stream->limits.max_bytes))
        drop_oldest(stream);
}

static void clear_window(LiveStream* stream)
{
    while (stream->segment_count)
        drop_oldest(stream);
}

/* ---- muxing ------------------------------------------------------------------- */

static void close_muxer(LiveStream* stream)
{
    if (stream->muxer) {
        if (stream->muxer->pb)
            av_freep(&stream->muxer->pb->buffer);
        avio_context_free(&stream->muxer->pb);
        avformat_free_context(stream->muxer);
        stream->muxer = NULL;
    }
    stream->pending_size = 0;
    stream->have_held = 0;
    stream->part_duration = 0;
    stream->latest_dts = INT64_MIN;
    av_packet_unref(stream->held);
}

/* Starts afresh at the next key frame: a new generation. */
static void restart(LiveStream* stream)
{
    close_muxer(stream);
    clear_window(stream);
    stream->need_key = 1;
}

static int open_muxer(LiveStream* stream, int64_t first_dts)
{
    AVFormatContext* muxer = NULL;
    uint8_t* buffer = av_malloc(IO_BUFFER_SIZE);
    AVDictionary* options = NULL;
    if (!buffer || avformat_alloc_output_context2(&muxer, NULL, "mp4", NULL) < 0) {
        av_free(buffer);
        return 0;
    }
    AVStream* video = avformat_new_stream(muxer, NULL);
    muxer->pb = avio_alloc_context(buffer, IO_BUFFER_SIZE, 1, stream, NULL, write_out, NULL);
    if (!muxer->pb)
        av_free(buffer);
    stream->muxer = muxer; /* close_muxer frees what was made */
    if (!video || !muxer->pb || avcodec_parameters_copy(video->codecpar, stream->params) < 0)
        return 0;
    video->codecpar->codec_tag = video->codecpar->codec_id == AV_CODEC_ID_HEVC ? MKTAG('h', 'v', 'c', '1') : 0;
    video->time_base = stream->time_base;
    muxer->flags |= AVFMT_FLAG_CUSTOM_IO;
    /* Fragments only when told (a part), with the moov first and offsets
     * relative to each moof, as Media Source Extensions want them. */
    av_dict_set(&options, "movflags", "frag_custom+empty_moov+default_base_moof+skip_trailer", 0);
    int error = avformat_write_header(muxer, &options);
    av_dict_free(&options);
    if (error < 0)
        return 0;
    avio_flush(muxer->pb);
    free(stream->init);
    stream->init = copy_bytes(stream->pending, stream->pending_size);
    stream->init_size = stream->init ? stream->pending_size : 0;
    stream->pending_size = 0;
    codec_string(stream->init, stream->init_size, stream->info.codecs, sizeof stream->info.codecs);
    stream->origin = first_dts;
    ++stream->generation;
    return stream->init != NULL;
}

/* Ends the current part: the muxer writes a fragment, which joins the open
 * segment; a segment grown beyond the bound is dropped to the next key frame. */
static void end_part(LiveStream* stream)
{
    Segment* segment = open_segment(stream);
    if (!stream->muxer || stream->part_duration == 0)
        return;
    av_write_frame(stream->muxer, NULL);
    avio_flush(stream->muxer->pb);
    const int64_t duration_us = av_rescale_q(stream->part_duration, stream->time_base, AV_TIME_BASE_Q);
    stream->part_duration = 0;
    if (segment && (segment->part_count == MAX_PARTS ||
                    (int64_t)(window_bytes(stream) + stream->pending_size) > stream->limits.max_bytes)) {
        /* The last part grows instead, or the segment goes. */
        if (segment->part_count == MAX_PARTS &&
            (int64_t)(window_bytes(stream) + stream->pending_size) <= stream->limits.max_bytes &&
            append(&segment->data, &segment->size, &segment->capacity, stream->pending, stream->pending_size)) {
            segment->parts[MAX_PARTS - 1].size += stream->pending_size;
            segment->parts[MAX_PARTS - 1].duration_us += duration_us;
        } else {
            free_segment(segment);
            --stream->segment_count;
            stream->need_key = 1;
        }
    } else if (segment) {
        Part* part = &segment->parts[segment->part_count];
        part->offset = segment->size;
        if (append(&segment->data, &segment->size, &segment->capacity, stream->pending, stream->pending_size)) {
            part->size = stream->pending_size;
            part->duration_us = duration_us;
            ++segment->part_count;
        }
    }
    stream->pending_size = 0;
}

static void start_segment(LiveStream* stream, int64_t wall_us)
{
    Segment* segment = calloc(1, sizeof *segment);
    if (!segment)
        return;
    if (stream->segment_count == MAX_SEGMENTS)
        drop_oldest(stream);
    segment->sequence = stream->next_segment++;
    segment->start_us = wall_us;
    stream->segments[stream->segment_count++] = segment;
}

/* Writes the held packet, whose duration its successor's dts tells (or its
 * own, or the nominal frame's). */
static void write_held(LiveStream* stream, int64_t next_dts)
{
    if (!stream->have_held)
        return;
    AVPacket* held = stream->held;
    if (next_dts != ORV_VIDEO_NO_TIMESTAMP && next_dts - stream->origin > held->dts)
        held->duration = next_dts - stream->origin - held->dts;
    else if (held->duration <= 0)
        held->duration = stream->frame_duration > 0 ? stream->frame_duration : 1;
    const int64_t part_target = av_rescale_q(stream->limits.part_us, AV_TIME_BASE_Q, stream->time_base);
    if (stream->part_duration > 0 && stream->part_duration + held->duration > part_target)
        end_part(stream);
    stream->part_duration += held->duration;
    av_packet_rescale_ts(held, stream->time_base, stream->muxer->streams[0]->time_base);
    if (av_write_frame(stream->muxer, held) < 0)
        stream->need_key = 1;
    av_packet_unref(held);
    stream->have_held = 0;
}

static int hold(LiveStream* stream, const VideoPacket* packet, int64_t dts, const void* data, int32_t length)
{
    AVPacket* held = stream->held;
    if (av_new_packet(held, length) < 0)
        return 0;
    memcpy(held->data, data, (size_t)length);
    held->dts = dts - stream->origin;
    held->pts = packet->pts != ORV_VIDEO_NO_TIMESTAMP ? packet->pts - stream->origin : held->dts;
    held->duration = packet->duration;
    held->flags = packet->packet_flags & ORV_VIDEO_KEY_FRAME ? AV_PKT_FLAG_KEY : 0;
    stream->have_held = 1;
    stream->latest_dts = held->dts;
    return 1;
}

static void keep_key_frame(LiveStream* stream, const void* data, int32_t length)
{
    av_packet_unref(stream->key_frame);
    if (av_new_packet(stream->key_frame, length) == 0) {
        memcpy(stream->key_frame->data, data, (size_t)length);
        stream->key_frame->flags = AV_PKT_FLAG_KEY;
    }
}

/* ---- the entry points ------------------------------------------------------------ */

LiveStream* live_stream_new(const LiveLimits* limits)
{
    LiveStream* stream = calloc(1, sizeof *stream);
    if (!stream)
        return NULL;
    stream->limits = *limits;
    if (stream->limits.window_segments > MAX_SEGMENTS - 1)
        stream->limits.window_segments = MAX_SEGMENTS - 1;
    stream->held = av_packet_alloc();
    stream->key_frame = av_packet_alloc();
    stream->need_key = 1;
    stream->latest_dts = INT64_MIN;
    stream->next_segment = 1;
    if (!stream->held || !stream->key_frame || pthread_mutex_init(&stream->lock, NULL) != 0) {
        av_packet_free(&stream->held);
        av_packet_free(&stream->key_frame);
        free(stream);
        return NULL;
    }
    return stream;
}

void live_stream_free(LiveStream* stream)
{
    if (!stream)
        return;
    close_muxer(stream);
    clear_window(stream);
    avcodec_parameters_free(&stream->params);
    av_packet_free(&stream->held);
    av_packet_free(&stream->key_frame);
    free(stream->pending);
    free(stream->init);
    pthread_mutex_destroy(&stream->lock);
    free(stream);
}

static AVCodecParameters* parameters_of(const VideoStreamFormat* record, const void* extradata, int32_t length)
{
    const AVCodecDescriptor* codec = avcodec_descriptor_get_by_name(record->stream.codec);
    AVCodecParameters* params = codec ? avcodec_parameters_alloc() : NULL;
    if (!params)
        return NULL;
    params->codec_type = AVMEDIA_TYPE_VIDEO;
    params->codec_id = codec->id;
    params->width = (int)record->stream.width;
    params->height = (int)record->stream.height;
    if (extradata && length > 0 && (params->extradata = av_mallocz((size_t)length + AV_INPUT_BUFFER_PADDING_SIZE))) {
        memcpy(params->extradata, extradata, (size_t)length);
        params->extradata_size = length;
    }
    if (record->stream.size >= sizeof *record) {
        params->profile = record->format.profile;
        params->level = record->format.level;
        params->color_range = (enum AVColorRange)record->format.color_range;
        params->color_primaries = (enum AVColorPrimaries)record->format.color_primaries;
        params->color_trc = (enum AVColorTransferCharacteristic)record->format.color_transfer;
        params->color_space = (enum AVColorSpace)record->format.color_space;
        params->video_delay = (int)record->format.video_delay;
    }
    return params;
}

void live_stream_begin(LiveStream* stream, const VideoStreamFormat* record, const void* extradata, int32_t length)
{
    pthread_mutex_lock(&stream->lock);
    restart(stream);
    avcodec_parameters_free(&stream->params);
    const VideoStream* head = &record->stream;
    if (head->time_base_num > 0 && head->time_base_den > 0)
        stream->params = parameters_of(record, extradata, length);
    stream->serial = head->serial;
    stream->time_base = (AVRational){head->time_base_num, head->time_base_den};
    stream->frame_duration = head->frame_rate_num > 0 && head->frame_rate_den > 0
                                 ? av_rescale_q(1, (AVRational){head->frame_rate_den, head->frame_rate_num},
                                                stream->time_base)
                                 : 0;
    stream->have_sequence = 0;
    snprintf(stream->info.codec, sizeof stream->info.codec, "%.*s", (int)sizeof head->codec - 1, head->codec);
    stream->info.codecs[0] = '\0';
    stream->info.width = (int)head->width;
    stream->info.height = (int)head->height;
    stream->info.ended = 0;
    av_packet_unref(stream->key_frame);
    pthread_mutex_unlock(&stream->lock);
}

void live_stream_end(LiveStream* stream)
{
    pthread_mutex_lock(&stream->lock);
    stream->info.ended = 1;
    pthread_mutex_unlock(&stream->lock);
}

void live_stream_packet(LiveStream* stream, const VideoPacket* packet, const void* data, int32_t length)
{
    pthread_mutex_lock(&stream->lock);
    const int64_t dts = packet->dts != ORV_VIDEO_NO_TIMESTAMP ? packet->dts : packet->pts;
    const int key = (packet->packet_flags & ORV_VIDEO_KEY_FRAME) != 0;
    const int gap = stream->have_sequence && packet->sequence != stream->next_sequence;
    stream->have_sequence = 1;
    stream->next_sequence = packet->sequence + 1;
    stream->info.last_packet_us = packet->capture_time_us;
    if (!stream->params || packet->serial != stream->serial || dts == ORV_VIDEO_NO_TIMESTAMP || !data ||
        length <= 0) {
        pthread_mutex_unlock(&stream->lock);
        return;
    }
    if (key)
        keep_key_frame(stream, data, length);
    /* Back in time (the muxer takes increasing timestamps only) or far ahead
     * (one picture would last the whole jump): afresh at the next key frame. */
    const int64_t jump = stream->muxer && stream->latest_dts != INT64_MIN
                             ? av_rescale_q(dts - stream->origin - stream->latest_dts, stream->time_base,
                                            AV_TIME_BASE_Q)
                             : 1;
    if (jump <= 0 || jump > MAX_JUMP_US)
        restart(stream);
    if (gap && stream->have_held) {
        write_held(stream, ORV_VIDEO_NO_TIMESTAMP);
        stream->need_key = 1;
    }
    if (stream->need_key && !key) {
        pthread_mutex_unlock(&stream->lock);
        return;
    }
    if (!stream->muxer && !open_muxer(stream, dts)) {
        close_muxer(stream);
        pthread_mutex_unlock(&stream->lock);
        return;
    }
    write_held(stream, dts);
    if (key) {
        end_part(stream);
        Segment* open = open_segment(stream);
        if (open)
            open->finished = 1;
        trim_window(stream);
        start_segment(stream, packet->capture_time_us);
        stream->need_key = 0;
    }
    hold(stream, packet, dts, data, length);
    pthread_mutex_unlock(&stream->lock);
}

/* ---- the readers ------------------------------------------------------------------ */

static void format_time(int64_t wall_us, char* text, size_t size)
{
    const time_t seconds = (time_t)(wall_us / 1000000);
    struct tm utc;
    gmtime_r(&seconds, &utc);
    size_t length = strftime(text, size, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text + length, size - length, ".%03dZ", (int)(wall_us / 1000 % 1000));
}

static int64_t segment_duration_us(const Segment* segment)
{
    int64_t total = 0;
    for (int i = 0; i < segment->part_count; ++i)
        total += segment->parts[i].duration_us;
    return total;
}

/* Parts are listed for the last two segments, as players near the live edge
 * need them; older segments only whole. */
static void write_playlist(const LiveStream* stream, FILE* out)
{
    int64_t longest = 1000000;
    int first = -1;
    for (int i = 0; i < stream->segment_count; ++i) {
        const int64_t duration = segment_duration_us(stream->segments[i]);
        longest = duration > longest ? duration : longest;
        if (first < 0 && stream->segments[i]->part_count)
            first = i;
    }
    const double part_target = (double)stream->limits.part_us / 1e6;
    fprintf(out,
            "#EXTM3U\n#EXT-X-VERSION:9\n#EXT-X-TARGETDURATION:%lld\n#EXT-X-PART-INF:PART-TARGET=%.3f\n"
            "#EXT-X-SERVER-CONTROL:PART-HOLD-BACK=%.3f\n#EXT-X-MEDIA-SEQUENCE:%u\n"
            "#EXT-X-MAP:URI=\"init.mp4?generation=%u\"\n",
            (long long)((longest + 999999) / 1000000), part_target, 3 * part_target,
            stream->segments[first]->sequence, stream->generation);
    for (int i = first; i < stream->segment_count; ++i) {
        const Segment* segment = stream->segments[i];
        char when[40];
        if (!segment->part_count)
            continue;
        format_time(segment->start_us, when, sizeof when);
        fprintf(out, "#EXT-X-PROGRAM-DATE-TIME:%s\n", when);
        for (int p = 0; i >= stream->segment_count - 2 && p < segment->part_count; ++p)
            fprintf(out, "#EXT-X-PART:DURATION=%.3f,URI=\"%u.%d.m4s\"%s\n", (double)segment->parts[p].duration_us / 1e6,
                    segment->sequence, p, p == 0 ? ",INDEPENDENT=YES" : "");
        if (segment->finished)
            fprintf(out, "#EXTINF:%.3f,\n%u.m4s\n", (double)segment_duration_us(segment) / 1e6, segment->sequence);
    }
}

char* live_stream_playlist(LiveStream* stream, size_t* length)
{
    char* text = NULL;
    pthread_mutex_lock(&stream->lock);
    int have_part = 0;
    for (int i = 0; i < stream->segment_count; ++i)
        have_part |= stream->segments[i]->part_count > 0;
    FILE* out = have_part && stream->init ? open_memstream(&text, length) : NULL;
    if (out) {
        write_playlist(stream, out);
        if (fclose(out) != 0) {
            free(text);
            text = NULL;
        }
    }
    pthread_mutex_unlock(&stream->lock);
    return text;
}

void* live_stream_init(LiveStream* stream, size_t* length)
{
    pthread_mutex_lock(&stream->lock);
    void* copy = stream->init ? copy_bytes(stream->init, stream->init_size) : NULL;
    *length = stream->init_size;
    pthread_mutex_unlock(&stream->lock);
    return copy;
}

void* live_stream_media(LiveStream* stream, unsigned sequence, int part, size_t* length)
{
    void* copy = NULL;
    pthread_mutex_lock(&stream->lock);
    for (int i = 0; i < stream->segment_count; ++i) {
        const Segment* segment = stream->segments[i];
        if (segment->sequence != sequence)
            continue;
        if (part < 0 && segment->finished) {
            copy = copy_bytes(segment->data, segment->size);
            *length = segment->size;
        } else if (part >= 0 && part < segment->part_count) {
            copy = copy_bytes(segment->data + segment->parts[part].offset, segment->parts[part].size);
            *length = segment->parts[part].size;
        }
    }
    pthread_mutex_unlock(&stream->lock);
    return copy;
}

int live_stream_key_frame(LiveStream* stream, AVCodecParameters** params, AVPacket** packet)
{
    *params = NULL;
    *packet = NULL;
    pthread_mutex_lock(&stream->lock);
    /* A copy of the bytes, not another reference: the reader then shares
     * nothing with this stream once the lock is let go. */
    if (stream->params && stream->key_frame->size > 0 && (*params = avcodec_parameters_alloc()) &&
        avcodec_parameters_copy(*params, stream->params) >= 0 && (*packet = av_packet_alloc()) &&
        av_new_packet(*packet, stream->key_frame->size) == 0) {
        memcpy((*packet)->data, stream->key_frame->data, (size_t)stream->key_frame->size);
        (*packet)->flags = AV_PKT_FLAG_KEY;
    } else {
        av_packet_free(packet);
    }
    pthread_mutex_unlock(&stream->lock);
    if (!*packet)
        avcodec_parameters_free(params);
    return *packet != NULL;
}

void live_stream_info(LiveStream* stream, LiveInfo* info)
{
    pthread_mutex_lock(&stream->lock);
    *info = stream->info;
    pthread_mutex_unlock(&stream->lock);
}
