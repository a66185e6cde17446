#define _GNU_SOURCE
#include "recording_export.h"

#include <libavformat/avformat.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define MAX_SEGMENTS 4096 /* a day of 30-second segments, and more */
#define IO_BUFFER_SIZE 65536

typedef struct Piece {
    int64_t start_ms;
    char* path; /* resolved, inside the directory; malloc'ed */
} Piece;

struct RecordingExport {
    Piece* pieces;
    int piece_count;
    int next_piece;
    int64_t start_ms, end_ms;
    int64_t base_ms;         /* the first piece's start */
    AVFormatContext* input;  /* the piece being read */
    int video;               /* its video stream */
    AVFormatContext* output; /* made at the first piece */
    AVPacket* packet;
    int need_key;
    int64_t base_us;         /* the first dts since base_ms, subtracted from every written time */
    int have_base;
    int64_t last_dts_us;
    int finished, failed;
    uint8_t* pending;        /* the output not yet read */
    size_t pending_size, pending_capacity, pending_read;
};

/* ---- the index ---------------------------------------------------------------- */

static sqlite3* open_index(const char* directory)
{
    char path[PATH_MAX];
    sqlite3* db = NULL;
    snprintf(path, sizeof path, "%s/%s", directory, RECORDING_INDEX_FILE);
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK ||
        sqlite3_busy_timeout(db, 1000) != SQLITE_OK) {
        sqlite3_close(db);
        return NULL;
    }
    return db;
}

int recording_cameras(const char* directory, void (*each)(void* context, const char* camera), void* context)
{
    sqlite3* db = open_index(directory);
    sqlite3_stmt* query = NULL;
    int step = SQLITE_ERROR;
    if (db && sqlite3_prepare_v2(db, "SELECT DISTINCT camera FROM segments ORDER BY camera LIMIT 256", -1, &query,
                                 NULL) == SQLITE_OK)
        while ((step = sqlite3_step(query)) == SQLITE_ROW)
            if (sqlite3_column_text(query, 0))
                each(context, (const char*)sqlite3_column_text(query, 0));
    sqlite3_finalize(query);
    sqlite3_close(db);
    return step == SQLITE_DONE;
}

typedef int (*RowFn)(void* context, int64_t start_ms, int64_t end_ms, const char* path);

/* Calls `row` for each segment of the camera overlapping [from, to), in time
 * order, until it returns 0. False when the index cannot be read. */
static int each_segment(const char* directory, const char* camera, int64_t from, int64_t to, RowFn row,
                        void* context)
{
    sqlite3* db = open_index(directory);
    sqlite3_stmt* query = NULL;
    int ok = db && sqlite3_prepare_v2(db,
                                "SELECT start_ms, end_ms, path FROM segments WHERE camera = ?1 AND end_ms > ?2 "
                                "AND start_ms < ?3 ORDER BY start_ms LIMIT 4096",
                                -1, &query, NULL) == SQLITE_OK &&
             sqlite3_bind_text(query, 1, camera, -1, SQLITE_STATIC) == SQLITE_OK &&
             sqlite3_bind_int64(query, 2, from) == SQLITE_OK && sqlite3_bind_int64(query, 3, to) == SQLITE_OK;
    int step;
    while (ok && (step = sqlite3_step(query)) == SQLITE_ROW) {
        const unsigned char* name = sqlite3_column_text(query, 2);
        if (name && !row(context, sqlite3_column_int64(query, 0), sqlite3_column_int64(query, 1), (const char*)name))
            break;
    }
    ok = ok && (step == SQLITE_ROW || step == SQLITE_DONE);
    sqlite3_finalize(query);
    sqlite3_close(db);
    return ok;
}

static int add_json_row(void* context, int64_t start_ms, int64_t end_ms, const char* path)
{
    FILE* out = context;
    (void)path;
    fprintf(out, "%s{\"start_ms\":%lld,\"end_ms\":%lld}", ftell(out) > 13 ? "," : "", (long long)start_ms,
            (long long)end_ms);
    return 1;
}

char* recording_list_json(const char* directory, const char* camera, int64_t from_ms, int64_t to_ms, size_t* length)
{
    char* text = NULL;
    FILE* out = open_memstream(&text, length);
    if (!out)
        return NULL;
    fputs("{\"segments\":[", out);
    int ok = each_segment(directory, camera, from_ms, to_ms, add_json_row, out);
    fputs("]}\n", out);
    if (fclose(out) != 0 || !ok) {
        free(text);
        return NULL;
    }
    return text;
}

/* The file's real path when it lies inside the directory's real path. */
static int resolve_inside(const char* directory, const char* name, char* resolved)
{
    char root[PATH_MAX], joined[PATH_MAX * 2];
    if (name[0] == '/' || strcmp(name, "..") == 0 || strncmp(name, "../", 3) == 0 || strstr(name, "/../") ||
        (strlen(name) >= 3 && strcmp(name + strlen(name) - 3, "/..") == 0))
        return 0;
    snprintf(joined, sizeof joined, "%s/%s", directory, name);
    if (!realpath(directory, root) || !realpath(joined, resolved))
        return 0;
    const size_t root_length = strlen(root);
    return strncmp(resolved, root, root_length) == 0 && resolved[root_length] == '/';
}

typedef struct Listing {
    RecordingExport* export;
    const char* directory;
} Listing;

static int add_piece(void* context, int64_t start_ms, int64_t end_ms, const char* path)
{
    Listing* listing = context;
    RecordingExport* export = listing->export;
    (void)end_ms;
    if (export->piece_count == MAX_SEGMENTS)
        return 0;
    Piece* piece = &export->pieces[export->piece_count];
    char resolved[PATH_MAX];
    if (resolve_inside(listing->directory, path, resolved) && (piece->path = strdup(resolved))) {
        piece->start_ms = start_ms;
        ++export->piece_count;
    }
    return 1;
}

/* ---- remuxing ----------------------------------------------------------------- */

static int write_out(void* opaque, uint8_t* bytes, int length)
{
    RecordingExport* export = opaque;
    if (export->pending_size + (size_t)length > export->pending_capacity) {
        size_t grown = export->pending_capacity ? export->pending_capacity * 2 : 1 << 20;
        while (grown < export->pending_size + (size_t)length)
            grown *= 2;
        uint8_t* larger = realloc(export->pending, grown);
        if (!larger)
            return AVERROR(ENOMEM);
        export->pending = larger;
        export->pending_capacity = grown;
    }
    memcpy(export->pending + export->pending_size, bytes, (size_t)length);
    export->pending_size += (size_t)length;
    return length;
}

static int open_output(RecordingExport* export, const AVCodecParameters* params)
{
    uint8_t* buffer = av_malloc(IO_BUFFER_SIZE);
    if (!buffer || avformat_alloc_output_context2(&export->output, NULL, "mp4", NULL) < 0) {
        av_free(buffer);
        return 0;
    }
    AVStream* video = avformat_new_stream(export->output, NULL);
    export->output->pb = avio_alloc_context(buffer, IO_BUFFER_SIZE, 1, export, NULL, write_out, NULL);
    if (!export->output->pb)
        av_free(buffer);
    if (!video || !export->output->pb || avcodec_parameters_copy(video->codecpar, params) < 0)
        return 0;
    video->codecpar->codec_tag = params->codec_id == AV_CODEC_ID_HEVC ? MKTAG('h', 'v', 'c', '1') : 0;
    video->time_base = (AVRational){1, 90000};
    export->output->flags |= AVFMT_FLAG_CUSTOM_IO;
    AVDictionary* options = NULL;
    av_dict_set(&options, "movflags", "frag_keyframe+empty_moov+default_base_moof", 0);
    int error = avformat_write_header(export->output, &options);
    av_dict_free(&options);
    return error >= 0;
}

static void close_input(RecordingExport* export)
{
    avformat_close_input(&export->input);
}

/* Opens the next piece; false when there is none left that opens. */
static int open_next(RecordingExport* export)
{
    close_input(export);
    while (export->next_piece < export->piece_count) {
        const Piece* piece = &export->pieces[export->next_piece++];
        if (avformat_open_input(&export->input, piece->path, NULL, NULL) < 0)
            continue;
        export->video = avformat_find_stream_info(export->input, NULL) >= 0
                            ? av_find_best_stream(export->input, AVMEDIA_TYPE_VIDEO, -1, -1, NULL, 0)
                            : -1;
        if (export->video < 0) {
            close_input(export);
            continue;
        }
        const AVCodecParameters* params = export->input->streams[export->video]->codecpar;
        if (export->output) {
            const AVCodecParameters* first = export->output->streams[0]->codecpar;
            if (params->codec_id != first->codec_id || params->width != first->width ||
                params->height != first->height) {
                close_input(export);
                return 0;
            }
        } else if (!open_output(export, params)) {
            export->failed = 1;
            return 0;
        }
        export->base_ms = export->base_ms ? export->base_ms : piece->start_ms;
        if (piece->start_ms < export->start_ms)  /* to the key frame at or before the start */
            av_seek_frame(export->input, -1, (export->start_ms - piece->start_ms) * 1000, AVSEEK_FLAG_BACKWARD);
        export->need_key = 1;
        return 1;
    }
    return 0;
}

/* The wall clock of a packet's time in microseconds since base_ms. */
static int64_t since_base_us(const RecordingExport* export, int64_t time, AVRational time_base)
{
    const Piece* piece = &export->pieces[export->next_piece - 1];
    return (piece->start_ms - export->base_ms) * 1000 + av_rescale_q(time, time_base, AV_TIME_BASE_Q);
}

/* Remuxes one packet of the input; false at the end of the range. */
static int remux_one(RecordingExport* export)
{
    AVPacket* packet = export->packet;
    int error;
    while ((error = av_read_frame(export->input, packet)) >= 0 && packet->stream_index != export->video)
        av_packet_unref(packet);
    if (error < 0)
        return open_next(export);
    const AVRational time_base = export->input->streams[export->video]->time_base;
    if (packet->dts == AV_NOPTS_VALUE)
        packet->dts = packet->pts;
    const int64_t pts_us = since_base_us(export, packet->pts, time_base);
    int64_t dts_us = since_base_us(export, packet->dts, time_base);
    const int key = (packet->flags & AV_PKT_FLAG_KEY) != 0;
    if (pts_us >= (export->end_ms - export->base_ms) * 1000) {
        av_packet_unref(packet);
        return 0;
    }
    if (export->need_key && !key) {
        av_packet_unref(packet);
        return 1;
    }
    export->need_key = 0;
    if (!export->have_base) {
        export->base_us = dts_us;
        export->have_base = 1;
        export->last_dts_us = INT64_MIN;
    }
    if (dts_us <= export->last_dts_us) /* segments back to back, rounded */
        dts_us = export->last_dts_us + 1;
    export->last_dts_us = dts_us;
    const AVRational out_base = export->output->streams[0]->time_base;
    packet->pts = av_rescale_q(pts_us - export->base_us, AV_TIME_BASE_Q, out_base);
    packet->dts = av_rescale_q(dts_us - export->base_us, AV_TIME_BASE_Q, out_base);
    if (packet->pts < packet->dts)
        packet->pts = packet->dts;
    packet->duration = av_rescale_q(packet->duration, time_base, out_base);
    packet->stream_index = 0;
    packet->pos = -1;
    error = av_write_frame(export->output, packet);
    av_packet_unref(packet);
    if (error < 0)
        export->failed = 1;
    return error >= 0;
}

/* Remuxes one packet into `pending`; at the end of the range, the trailer. */
static void advance(RecordingExport* export)
{
    if (!remux_one(export)) {
        if (!export->failed && av_write_trailer(export->output) < 0)
            export->failed = 1;
        export->finished = 1;
    }
    avio_flush(export->output->pb);
}

RecordingExport* recording_export_open(const char* directory, const char* camera, int64_t start_ms, int64_t end_ms)
{
    RecordingExport* export = calloc(1, sizeof *export);
    if (!export)
        return NULL;
    export->start_ms = start_ms;
    export->end_ms = end_ms;
    export->pieces = malloc(MAX_SEGMENTS * sizeof *export->pieces);
    export->packet = av_packet_alloc();
    Listing listing = {export, directory};
    if (!export->pieces || !export->packet || !each_segment(directory, camera, start_ms, end_ms, add_piece, &listing) ||
        !open_next(export)) {
        recording_export_free(export);
        return NULL;
    }
    while (!export->have_base && !export->finished && !export->failed) /* the origin is known */
        advance(export);
    if (!export->have_base) {
        recording_export_free(export);
        return NULL;
    }
    return export;
}

ssize_t recording_export_read(RecordingExport* export, uint8_t* buffer, size_t size)
{
    while (export->pending_read == export->pending_size && !export->finished && !export->failed) {
        export->pending_read = export->pending_size = 0;
        advance(export);
    }
    if (export->failed)
        return -1;
    size_t count = export->pending_size - export->pending_read;
    count = count < size ? count : size;
    memcpy(buffer, export->pending + export->pending_read, count);
    export->pending_read += count;
    return (ssize_t)count;
}

int64_t recording_export_origin_ms(const RecordingExport* export)
{
    return export->base_ms + export->base_us / 1000;
}

void recording_export_free(RecordingExport* export)
{
    if (!export)
        return;
    close_input(export);
    if (export->output) {
        if (export->output->pb)
            av_freep(&export->output->pb->buffer);
        avio_context_free(&export->output->pb);
        avformat_free_context(export->output);
    }
    av_packet_free(&export->packet);
    for (int i = 0; i < export->piece_count; ++i)
        free(export->pieces[i].path);
    free(export->pieces);
    free(export->pending);
    free(export);
}
