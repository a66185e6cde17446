/*
 * orvantis-recordings: finds footage in the segment recorder's index
 * ("index.sqlite" in the recordings' directory) and exports it.
 *
 *   orvantis-recordings [-d DIRECTORY] cameras
 *   orvantis-recordings [-d DIRECTORY] segments CAMERA [FROM [TO]]
 *   orvantis-recordings [-d DIRECTORY] find CAMERA TIME
 *   orvantis-recordings [-d DIRECTORY] export CAMERA FROM TO FILE
 *
 * Times are UTC, "2025-01-05T14:23:01.250Z" (the fraction and the Z may be
 * left out). `find` prints the segment's path and the offset of TIME in it,
 * in seconds; `export` writes the range into one MP4 file without
 * re-encoding, through libavformat's concat demuxer, starting at the key
 * frame at or before FROM. Exit status: 0 done, 1 no footage there, 2 bad
 * arguments, 3 the index or a file could not be read or written.
 */
#define _GNU_SOURCE
#include <libavformat/avformat.h>
#include <sqlite3.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

enum { EXIT_DONE = 0, EXIT_NONE = 1, EXIT_USAGE = 2, EXIT_FAILED = 3 };

static const char* directory = "/var/lib/orvantis/recordings";

static int usage(void)
{
    fprintf(stderr, "usage: orvantis-recordings [-d DIRECTORY] cameras\n"
                    "       orvantis-recordings [-d DIRECTORY] segments CAMERA [FROM [TO]]\n"
                    "       orvantis-recordings [-d DIRECTORY] find CAMERA TIME\n"
                    "       orvantis-recordings [-d DIRECTORY] export CAMERA FROM TO FILE\n"
                    "times are UTC: 2025-01-05T14:23:01.250Z\n");
    return EXIT_USAGE;
}

/* "YYYY-MM-DDTHH:MM:SS[.fff][Z]" as UTC milliseconds; -1 when malformed. */
static int64_t parse_time(const char* text)
{
    struct tm utc;
    memset(&utc, 0, sizeof utc);
    const char* rest = strptime(text, "%Y-%m-%dT%H:%M:%S", &utc);
    if (!rest)
        return -1;
    int64_t ms = (int64_t)timegm(&utc) * 1000;
    if (*rest == '.') {
        int scale = 100;
        for (++rest; *rest >= '0' && *rest <= '9'; ++rest, scale /= 10)
            ms += (*rest - '0') * scale;
    }
    if (*rest == 'Z')
        ++rest;
    return *rest ? -1 : ms;
}

static void format_time(int64_t ms, char* text, size_t size)
{
    time_t seconds = (time_t)(ms / 1000);
    struct tm utc;
    char whole[32];
    gmtime_r(&seconds, &utc);
    strftime(whole, sizeof whole, "%Y-%m-%dT%H:%M:%S", &utc);
    snprintf(text, size, "%s.%03dZ", whole, (int)(ms % 1000));
}

static sqlite3* open_index(void)
{
    char file[4096];
    sqlite3* db = NULL;
    snprintf(file, sizeof file, "%s/index.sqlite", directory);
    if (sqlite3_open_v2(file, &db, SQLITE_OPEN_READONLY, NULL) != SQLITE_OK) {
        fprintf(stderr, "orvantis-recordings: cannot open %s: %s\n", file, db ? sqlite3_errmsg(db) : "no memory");
        sqlite3_close(db);
        return NULL;
    }
    sqlite3_busy_timeout(db, 2000);
    return db;
}

static sqlite3_stmt* prepare(sqlite3* db, const char* sql)
{
    sqlite3_stmt* statement = NULL;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, NULL) != SQLITE_OK)
        fprintf(stderr, "orvantis-recordings: the index cannot be read: %s\n", sqlite3_errmsg(db));
    return statement;
}

static int list_cameras(sqlite3* db)
{
    sqlite3_stmt* query = prepare(db, "SELECT camera, count(*), min(start_ms), max(end_ms), sum(bytes) FROM segments "
                                      "GROUP BY camera ORDER BY camera");
    if (!query)
        return EXIT_FAILED;
    int found = 0;
    while (sqlite3_step(query) == SQLITE_ROW) {
        char first[40], last[40];
        format_time(sqlite3_column_int64(query, 2), first, sizeof first);
        format_time(sqlite3_column_int64(query, 3), last, sizeof last);
        printf("%s %d %s %s %lld\n", (const char*)sqlite3_column_text(query, 0), sqlite3_column_int(query, 1), first,
               last, (long long)sqlite3_column_int64(query, 4));
        found = 1;
    }
    sqlite3_finalize(query);
    return found ? EXIT_DONE : EXIT_NONE;
}

/* The segments of `camera` that overlap [from, to), oldest first. */
static sqlite3_stmt* overlapping(sqlite3* db, const char* camera, int64_t from, int64_t to)
{
    sqlite3_stmt* query = prepare(db, "SELECT start_ms, end_ms, path, bytes, key_frames, gaps FROM segments "
                                      "WHERE camera = ? AND end_ms > ? AND start_ms < ? ORDER BY start_ms");
    if (query) {
        sqlite3_bind_text(query, 1, camera, -1, SQLITE_STATIC);
        sqlite3_bind_int64(query, 2, from);
        sqlite3_bind_int64(query, 3, to);
    }
    return query;
}

static int list_segments(sqlite3* db, const char* camera, int64_t from, int64_t to)
{
    sqlite3_stmt* query = overlapping(db, camera, from, to);
    if (!query)
        return EXIT_FAILED;
    int found = 0;
    while (sqlite3_step(query) == SQLITE_ROW) {
        char start[40], end[40];
        format_time(sqlite3_column_int64(query, 0), start, sizeof start);
        format_time(sqlite3_column_int64(query, 1), end, sizeof end);
        printf("%s %s %s/%s %lld %d %d\n", start, end, directory, (const char*)sqlite3_column_text(query, 2),
               (long long)sqlite3_column_int64(query, 3), sqlite3_column_int(query, 4), sqlite3_column_int(query, 5));
        found = 1;
    }
    sqlite3_finalize(query);
    return found ? EXIT_DONE : EXIT_NONE;
}

static int find_moment(sqlite3* db, const char* camera, int64_t at)
{
    sqlite3_stmt* query = overlapping(db, camera, at, at + 1);
    if (!query)
        return EXIT_FAILED;
    int found = sqlite3_step(query) == SQLITE_ROW;
    if (found)
        printf("%s/%s %.3f\n", directory, (const char*)sqlite3_column_text(query, 2),
               (double)(at - sqlite3_column_int64(query, 0)) / 1000);
    else
        fprintf(stderr, "orvantis-recordings: no footage of %s at that time\n", camera);
    sqlite3_finalize(query);
    return found ? EXIT_DONE : EXIT_NONE;
}

/* Writes `path` quoted for a concat list: a ' becomes '\''. */
static void write_quoted(FILE* list, const char* path)
{
    fputc('\'', list);
    for (; *path; ++path) {
        if (*path == '\'')
            fputs("'\\''", list);
        else
            fputc(*path, list);
    }
    fputc('\'', list);
}

/* The concat list of the range into `list`; the number of segments. */
static int write_list(sqlite3* db, FILE* list, const char* camera, int64_t from, int64_t to)
{
    sqlite3_stmt* query = overlapping(db, camera, from, to);
    int count = 0;
    fprintf(list, "ffconcat version 1.0\n");
    while (query && sqlite3_step(query) == SQLITE_ROW) {
        char path[4096];
        const int64_t start = sqlite3_column_int64(query, 0), end = sqlite3_column_int64(query, 1);
        snprintf(path, sizeof path, "%s/%s", directory, (const char*)sqlite3_column_text(query, 2));
        fprintf(list, "file ");
        write_quoted(list, path);
        fprintf(list, "\n");
        if (from > start)
            fprintf(list, "inpoint %.3f\n", (double)(from - start) / 1000);
        if (to < end)
            fprintf(list, "outpoint %.3f\n", (double)(to - start) / 1000);
        ++count;
    }
    sqlite3_finalize(query);
    return count;
}

/* Copies every packet of `input` into a new MP4 file `file`. */
static int remux(AVFormatContext* input, const char* file)
{
    AVFormatContext* output = NULL;
    int error = avformat_alloc_output_context2(&output, NULL, "mp4", file);
    for (unsigned i = 0; error >= 0 && i < input->nb_streams; ++i) {
        AVStream* stream = avformat_new_stream(output, NULL);
        error = stream ? avcodec_parameters_copy(stream->codecpar, input->streams[i]->codecpar) : AVERROR(ENOMEM);
        if (stream) {
            stream->codecpar->codec_tag = 0;
            stream->time_base = input->streams[i]->time_base;
        }
    }
    if (error >= 0)
        error = avio_open(&output->pb, file, AVIO_FLAG_WRITE);
    if (error >= 0)
        error = avformat_write_header(output, NULL);
    AVPacket* packet = av_packet_alloc();
    while (error >= 0 && packet && av_read_frame(input, packet) >= 0) {
        av_packet_rescale_ts(packet, input->streams[packet->stream_index]->time_base,
                             output->streams[packet->stream_index]->time_base);
        error = av_interleaved_write_frame(output, packet);
    }
    if (error >= 0)
        error = av_write_trailer(output);
    av_packet_free(&packet);
    if (output)
        avio_closep(&output->pb);
    avformat_free_context(output);
    return error;
}

/* A private temporary file for the concat list, in TMPDIR or /tmp; its
 * path in `path`. Null when it cannot be made. */
static FILE* temporary_list(char* path, size_t size)
{
    const char* tmp = getenv("TMPDIR");
    snprintf(path, size, "%s/orvantis-export-XXXXXX", tmp && *tmp ? tmp : "/tmp");
    int fd = mkstemp(path);
    return fd >= 0 ? fdopen(fd, "w") : NULL;
}

static int export_range(sqlite3* db, const char* camera, int64_t from, int64_t to, const char* file)
{
    char path[4096];
    FILE* list = temporary_list(path, sizeof path);
    if (!list) {
        perror("orvantis-recordings: cannot write the list of segments");
        return EXIT_FAILED;
    }
    const int count = write_list(db, list, camera, from, to);
    fclose(list);
    int status = EXIT_NONE;
    if (count > 0) {
        AVFormatContext* input = NULL;
        AVDictionary* options = NULL;
        av_dict_set(&options, "safe", "0", 0);
        int error = avformat_open_input(&input, path, av_find_input_format("concat"), &options);
        av_dict_free(&options);
        if (error >= 0)
            error = avformat_find_stream_info(input, NULL);
        if (error >= 0)
            error = remux(input, file);
        avformat_close_input(&input);
        status = error >= 0 ? EXIT_DONE : EXIT_FAILED;
        if (error < 0)
            fprintf(stderr, "orvantis-recordings: cannot export to %s: %s\n", file, av_err2str(error));
    } else {
        fprintf(stderr, "orvantis-recordings: no footage of %s in that range\n", camera);
    }
    unlink(path);
    return status;
}

static int run(sqlite3* db, int argc, char** argv)
{
    const char* command = argv[0];
    if (strcmp(command, "cameras") == 0 && argc == 1)
        return list_cameras(db);
    if (strcmp(command, "segments") == 0 && argc >= 2 && argc <= 4) {
        int64_t from = argc > 2 ? parse_time(argv[2]) : 0, to = argc > 3 ? parse_time(argv[3]) : INT64_MAX;
        return from < 0 || to < 0 ? usage() : list_segments(db, argv[1], from, to);
    }
    if (strcmp(command, "find") == 0 && argc == 3) {
        int64_t at = parse_time(argv[2]);
        return at < 0 ? usage() : find_moment(db, argv[1], at);
    }
    if (strcmp(command, "export") == 0 && argc == 5) {
        int64_t from = parse_time(argv[2]), to = parse_time(argv[3]);
        return from < 0 || to <= from ? usage() : export_range(db, argv[1], from, to, argv[4]);
    }
    return usage();
}

int main(int argc, char** argv)
{
    int option;
    while ((option = getopt(argc, argv, "d:")) != -1) {
        if (option != 'd')
            return usage();
        directory = optarg;
    }
    if (optind >= argc)
        return usage();
    av_log_set_level(AV_LOG_ERROR);
    sqlite3* db = open_index();
    if (!db)
        return EXIT_FAILED;
    int status = run(db, argc - optind, argv + optind);
    sqlite3_close(db);
    return status;
}
