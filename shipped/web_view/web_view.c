/*
 * Shipped module: the cameras in a browser. It serves a page (plain HTML,
 * CSS and JavaScript, built into the module) with every camera live, a
 * snapshot of each, and playback and download of what the segment recorder
 * wrote, at http(s)://<listen_address>:<port>/.
 *
 * - Live view copies the compressed video the sources send (H.264, H.265)
 *   into fragmented MP4 in memory, an HLS playlist with low-latency parts per
 *   camera (live_stream.c); it never decodes. Snapshots decode the latest
 *   key frame on request (snapshot.c), kept for a second. Playback remuxes
 *   the recorder's segments, found in its index (recording_export.c).
 * - Write runs on the service's event-handler thread: it copies the packet
 *   into its camera's muxer in memory (no disk, no decoding) and returns; it
 *   keeps no payload. Cameras are made as their first record comes and live
 *   until Unload, so the server's threads may hold a camera without a lock.
 * - The HTTP server (libmicrohttpd) runs a small pool of threads of its own,
 *   started by Open and joined by Close. Connections are bounded, each has
 *   REQUEST_SECONDS to send its request and KEEPALIVE_SECONDS between
 *   requests; a slow reader of a long download holds only its own
 *   connection, and at most MAX_EXPORTS downloads run at once.
 *   At most MAX_DECODING snapshots are decoded at once.
 * - Loopback by default; any other address only with TLS and basic
 *   authentication (web_access.c). Failed logins from one address are
 *   limited to FAILED_LOGINS a minute, then answered 429 without a check.
 * - Every path is one of a fixed set of shapes (request_path.c); no part of
 *   a request ever becomes a file name.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <libavcodec/avcodec.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "../common/host_services.h"
#include "../common/listen_address.h"
#include "../common/module_config.h"
#include "../common/web_access.h"
#include "../common/web_limits.h"
#include "live_stream.h"
#include "modules/module_api.h"
#include "page_files.h"
#include "recording_export.h"
#include "request_path.h"
#include "routing/message_api.h"
#include "routing/video_api.h"
#include "snapshot.h"

#define EXPORT __attribute__((visibility("default")))

#define MAX_CAMERAS 64
#define MAX_CONNECTIONS 1000
#define SERVER_THREADS 4
#define MEMORY_PER_CONNECTION (16 * 1024) /* longer request lines and headers are refused */
#define MAX_URL 1024
#define REQUEST_SECONDS 3
#define KEEPALIVE_SECONDS 60
#define MAX_EXPORTS 4
#define MAX_EXPORT_MS (24 * 3600 * 1000LL)
#define MAX_LIST_MS (7 * 24 * 3600 * 1000LL)
#define SNAPSHOT_CACHE_US 1000000
#define MAX_DECODING 2 /* snapshots decoded at once: the other server threads stay free */
#define LIVE_PACKET_US 3000000 /* a camera is live while its latest packet is younger */
#define FAILED_LOGINS 5
#define FAILED_LOGIN_WINDOW_US 60000000LL
#define LOGIN_SLOTS 64

typedef struct Settings {
    ListenAddress listen;
    uint64_t module_id;
    char directory[2048];
    LiveLimits limits;
} Settings;

typedef struct Camera {
    uint64_t source;
    char name[REQUEST_CAMERA_SIZE]; /* guarded by cameras_lock */
    LiveStream* live;
    pthread_mutex_t snapshot_lock;  /* guards the cached snapshot */
    uint8_t* jpeg;
    size_t jpeg_size;
    int jpeg_width;
    int64_t jpeg_made_us;
} Camera;

/* Failed logins of one client address. */
typedef struct LoginSlot {
    unsigned char address[16];
    int64_t window_start_us;
    int failures;
} LoginSlot;

static Settings settings;
static WebAccess access_rules;
static struct MHD_Daemon* server;            /* main thread only */
static pthread_mutex_t cameras_lock = PTHREAD_MUTEX_INITIALIZER;
static Camera cameras[MAX_CAMERAS];          /* the first camera_count are made, guarded by cameras_lock */
static int camera_count;
static pthread_mutex_t limits_lock = PTHREAD_MUTEX_INITIALIZER;
static LoginSlot logins[LOGIN_SLOTS];        /* guarded by limits_lock */
static int exports_running;                  /* guarded by limits_lock */
static int snapshots_decoding;               /* guarded by limits_lock */

static int64_t now_us(void)
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

/* ---- configuration ------------------------------------------------------ */

static int read_limits(const ModuleConfig* config)
{
    settings.limits.part_us = module_config_number(config, "part_ms", 250) * 1000;
    settings.limits.window_segments = (int)module_config_number(config, "window_segments", 3);
    settings.limits.max_bytes = module_config_number(config, "max_camera_megabytes", 32) << 20;
    if (settings.limits.part_us < 40000 || settings.limits.part_us > 10000000 || settings.limits.window_segments < 1 ||
        settings.limits.window_segments > 15 || settings.limits.max_bytes < (1 << 20)) {
        host_log(ORV_LOG_ERROR, "part_ms (40-10000), window_segments (1-15) or max_camera_megabytes (at least 1) "
                                "out of range: not loading");
        return 0;
    }
    return 1;
}

static int read_settings(void)
{
    ModuleConfig config;
    int found = module_config_load(&config, (const void*)read_settings);
    settings.module_id = (uint64_t)module_config_number(&config, "module_id", 0x700);
    host_services_find("web_view", settings.module_id);
    if (!found)
        host_log(ORV_LOG_NOTICE, "cannot read %s, using the defaults", config.path);
    long long port = module_config_number(&config, "port", 8480);
    if (port < 1 || port > 65535) {
        host_log(ORV_LOG_ERROR, "port is not a port from 1 to 65535: not loading");
        return 0;
    }
    const char* address = module_config_text(&config, "listen_address", "127.0.0.1");
    if (!listen_address_parse(&settings.listen, address, (unsigned)port)) {
        host_log(ORV_LOG_ERROR, "listen_address \"%s\" is not an IP address: not loading", address);
        return 0;
    }
    snprintf(settings.directory, sizeof settings.directory, "%s",
             module_config_text(&config, "directory", "/var/lib/orvantis/recordings"));
    char why[512];
    if (!read_limits(&config))
        return 0;
    if (!web_access_load(&access_rules, &config, why, sizeof why)) {
        host_log(ORV_LOG_ERROR, "%s: not loading", why);
        return 0;
    }
    if (!settings.listen.loopback && !(access_rules.tls && access_rules.user_count)) {
        host_log(ORV_LOG_ERROR,
                 "listen_address \"%s\" is not a loopback address (127.0.0.0/8 or ::1) and tls_cert_file, "
                 "tls_key_file and basic_auth_file are not all set: not loading",
                 address);
        web_access_free(&access_rules);
        return 0;
    }
    return 1;
}

/* ---- cameras ------------------------------------------------------------ */

/* The camera of `source`, made at its first record; null when the table is
 * full or memory ran out. */
static Camera* camera_of_source(uint64_t source)
{
    Camera* found = NULL;
    pthread_mutex_lock(&cameras_lock);
    for (int i = 0; i < camera_count && !found; ++i)
        if (cameras[i].source == source)
            found = &cameras[i];
    if (!found && camera_count < MAX_CAMERAS && (cameras[camera_count].live = live_stream_new(&settings.limits))) {
        found = &cameras[camera_count++];
        found->source = source;
        snprintf(found->name, sizeof found->name, "camera%llu", (unsigned long long)source);
        pthread_mutex_init(&found->snapshot_lock, NULL);
    }
    pthread_mutex_unlock(&cameras_lock);
    return found;
}

static Camera* camera_named(const char* name)
{
    Camera* found = NULL;
    pthread_mutex_lock(&cameras_lock);
    for (int i = 0; i < camera_count && !found; ++i)
        if (strcmp(cameras[i].name, name) == 0)
            found = &cameras[i];
    pthread_mutex_unlock(&cameras_lock);
    return found;
}

/* A packet names its camera; a name that could not be a path part keeps
 * the "camera<source>" one. */
static void learn_name(Camera* camera, const void* body)
{
    const VideoPacketCamera* record = body;
    const size_t length = strnlen(record->camera, sizeof record->camera);
    if (length == sizeof record->camera || !request_camera_name_ok(record->camera, length))
        return;
    pthread_mutex_lock(&cameras_lock);
    if (strcmp(camera->name, record->camera) != 0)
        memcpy(camera->name, record->camera, length + 1);
    pthread_mutex_unlock(&cameras_lock);
}

/* ---- replies ------------------------------------------------------------ */

static enum MHD_Result queue(struct MHD_Connection* connection, unsigned status, struct MHD_Response* response,
                             const char* type)
{
    if (!response)
        return MHD_NO;
    if (type)
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, type);
    MHD_add_response_header(response, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
    enum MHD_Result queued = status == MHD_HTTP_UNAUTHORIZED
                                 ? MHD_queue_basic_auth_fail_response(connection, "orvantis", response)
                                 : MHD_queue_response(connection, status, response);
    MHD_destroy_response(response);
    return queued;
}

static enum MHD_Result reply_text(struct MHD_Connection* connection, unsigned status, const char* text)
{
    struct MHD_Response* response =
        MHD_create_response_from_buffer(strlen(text), (void*)text, MHD_RESPMEM_PERSISTENT);
    if (response && status == MHD_HTTP_METHOD_NOT_ALLOWED)
        MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW, "GET, HEAD");
    return queue(connection, status, response, "text/plain; charset=utf-8");
}

/* Sends malloc'ed bytes, which the reply frees; 404 for null. */
static enum MHD_Result reply_owned(struct MHD_Connection* connection, void* bytes, size_t length, const char* type)
{
    if (!bytes)
        return reply_text(connection, MHD_HTTP_NOT_FOUND, "not found\n");
    struct MHD_Response* response = MHD_create_response_from_buffer(length, bytes, MHD_RESPMEM_MUST_FREE);
    if (!response)
        free(bytes);
    return queue(connection, MHD_HTTP_OK, response, type);
}

/* ---- the camera list ------------------------------------------------------ */

/* The source's published connection state of `name`: 1, 0, or -1 unknown. */
static int connected_metric(const MetricReading* readings, uint32_t count, const char* name)
{
    for (uint32_t i = 0; i < count; ++i) {
        if (strcmp(readings[i].name, "video_source_connected") != 0)
            continue;
        for (uint32_t l = 0; l < readings[i].label_count && l < ORV_METRIC_LABELS; ++l)
            if (strcmp(readings[i].labels[l][0], "camera") == 0 && strcmp(readings[i].labels[l][1], name) == 0)
                return readings[i].value > 0;
    }
    return -1;
}

static const char* state_of(const LiveInfo* info, int64_t now)
{
    if (info->ended)
        return "ended";
    if (!info->last_packet_us)
        return "waiting";
    return now - info->last_packet_us < LIVE_PACKET_US ? "live" : "stalled";
}

typedef struct RecordedList {
    FILE* out;
    int listed;  /* entries written so far */
} RecordedList;

/* A camera of the index that is not live: listed for playback only. */
static void add_recorded(void* context, const char* camera)
{
    RecordedList* list = context;
    if (!request_camera_name_ok(camera, strlen(camera)) || camera_named(camera))
        return;
    fprintf(list->out,
            "%s{\"name\":\"%s\",\"codec\":\"\",\"codecs\":\"\",\"width\":0,\"height\":0,\"state\":\"recorded\","
            "\"last_packet_age_ms\":-1,\"connected\":null}",
            list->listed++ ? "," : "", camera);
}

static enum MHD_Result serve_cameras(struct MHD_Connection* connection)
{
    char* text = NULL;
    size_t length = 0;
    uint32_t metric_count;
    MetricReading* readings = host_metrics_take(&metric_count);
    FILE* out = open_memstream(&text, &length);
    if (!out) {
        free(readings);
        return reply_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    }
    const int64_t now = now_us();
    fputs("{\"cameras\":[", out);
    pthread_mutex_lock(&cameras_lock);
    for (int i = 0; i < camera_count; ++i) {
        LiveInfo info;
        live_stream_info(cameras[i].live, &info);
        const int connected = connected_metric(readings, metric_count, cameras[i].name);
        fprintf(out,
                "%s{\"name\":\"%s\",\"codec\":\"%s\",\"codecs\":\"%s\",\"width\":%d,\"height\":%d,"
                "\"state\":\"%s\",\"last_packet_age_ms\":%lld,\"connected\":%s}",
                i ? "," : "", cameras[i].name, info.codec, info.codecs, info.width, info.height,
                state_of(&info, now), info.last_packet_us ? (long long)((now - info.last_packet_us) / 1000) : -1LL,
                connected < 0 ? "null" : connected ? "true" : "false");
    }
    RecordedList recorded = {out, camera_count};
    pthread_mutex_unlock(&cameras_lock);
    recording_cameras(settings.directory, add_recorded, &recorded);
    fputs("]}\n", out);
    free(readings);
    if (fclose(out) != 0) {
        free(text);
        return reply_text(connection, MHD_HTTP_INTERNAL_SERVER_ERROR, "out of memory\n");
    }
    return reply_owned(connection, text, length, "application/json");
}

/* ---- snapshots ------------------------------------------------------------- */

/* The cached JPEG when it is younger than a second and of this width. */
static uint8_t* cached_snapshot(Camera* camera, int width, size_t* length)
{
    uint8_t* copy = NULL;
    pthread_mutex_lock(&camera->snapshot_lock);
    if (camera->jpeg && camera->jpeg_width == width && monotonic_us() - camera->jpeg_made_us < SNAPSHOT_CACHE_US &&
        (copy = malloc(camera->jpeg_size))) {
        memcpy(copy, camera->jpeg, camera->jpeg_size);
        *length = camera->jpeg_size;
    }
    pthread_mutex_unlock(&camera->snapshot_lock);
    return copy;
}

static void cache_snapshot(Camera* camera, int width, const uint8_t* jpeg, size_t length)
{
    uint8_t* copy = malloc(length);
    if (!copy)
        return;
    memcpy(copy, jpeg, length);
    pthread_mutex_lock(&camera->snapshot_lock);
    free(camera->jpeg);
    camera->jpeg = copy;
    camera->jpeg_size = length;
    camera->jpeg_width = width;
    camera->jpeg_made_us = monotonic_us();
    pthread_mutex_unlock(&camera->snapshot_lock);
}

/* Takes one of `*running`'s `limit` places; false when none is free. */
static int take_place(int* running, int limit)
{
    pthread_mutex_lock(&limits_lock);
    const int admitted = *running < limit;
    *running += admitted;
    pthread_mutex_unlock(&limits_lock);
    return admitted;
}

static void leave_place(int* running)
{
    pthread_mutex_lock(&limits_lock);
    --*running;
    pthread_mutex_unlock(&limits_lock);
}

/* A new JPEG of the latest key frame; null with `status` set when there is none. */
static uint8_t* make_snapshot(Camera* camera, int width, size_t* length, unsigned* status)
{
    AVCodecParameters* params;
    AVPacket* key_frame;
    *status = MHD_HTTP_SERVICE_UNAVAILABLE;
    if (!live_stream_key_frame(camera->live, &params, &key_frame))
        return NULL;
    uint8_t* jpeg = NULL;
    if (take_place(&snapshots_decoding, MAX_DECODING)) {
        jpeg = snapshot_jpeg(params, key_frame, width, length);
        leave_place(&snapshots_decoding);
        *status = MHD_HTTP_INTERNAL_SERVER_ERROR;
    }
    avcodec_parameters_free(&params);
    av_packet_free(&key_frame);
    if (jpeg)
        cache_snapshot(camera, width, jpeg, *length);
    return jpeg;
}

static enum MHD_Result serve_snapshot(struct MHD_Connection* connection, Camera* camera)
{
    long long width = 0;
    const char* given = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "width");
    if (given && !request_number(given, 16, 7680, &width))
        return reply_text(connection, MHD_HTTP_BAD_REQUEST, "width is a number of pixels from 16 to 7680\n");
    size_t length = 0;
    unsigned status = 0;
    uint8_t* jpeg = cached_snapshot(camera, (int)width, &length);
    if (!jpeg && !(jpeg = make_snapshot(camera, (int)width, &length, &status)))
        return reply_text(connection, status,
                          status == MHD_HTTP_INTERNAL_SERVER_ERROR ? "the key frame cannot be decoded\n"
                                                                   : "no picture yet, or too many being made\n");
    return reply_owned(connection, jpeg, length, "image/jpeg");
}

/* ---- recordings --------------------------------------------------------------- */

/* Reads [start, end) from the query's two parameters; false with a reply. */
static int time_range(struct MHD_Connection* connection, const char* from_key, const char* to_key, long long longest,
                      long long* from, long long* to)
{
    const long long limit = 1000LL * 4102444800LL; /* year 2100 */
    return request_number(MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, from_key), 0, limit, from) &&
           request_number(MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, to_key), 0, limit, to) &&
           *to > *from && *to - *from <= longest;
}

static enum MHD_Result serve_recordings(struct MHD_Connection* connection, const char* camera)
{
    long long from, to;
    if (!time_range(connection, "from", "to", MAX_LIST_MS, &from, &to))
        return reply_text(connection, MHD_HTTP_BAD_REQUEST,
                          "from and to are Unix times in milliseconds, from before to, at most 7 days apart\n");
    size_t length = 0;
    char* json = recording_list_json(settings.directory, camera, from, to, &length);
    if (!json)
        return reply_text(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "the recordings' index cannot be read\n");
    return reply_owned(connection, json, length, "application/json");
}

static ssize_t read_export(void* export, uint64_t position, char* buffer, size_t size)
{
    (void)position;
    ssize_t got = recording_export_read(export, (uint8_t*)buffer, size);
    return got > 0 ? got : got == 0 ? MHD_CONTENT_READER_END_OF_STREAM : MHD_CONTENT_READER_END_WITH_ERROR;
}

static void end_export(void* export)
{
    recording_export_free(export);
    leave_place(&exports_running);
}

static enum MHD_Result serve_recording(struct MHD_Connection* connection, const char* camera)
{
    long long start, end;
    if (!time_range(connection, "start", "end", MAX_EXPORT_MS, &start, &end))
        return reply_text(connection, MHD_HTTP_BAD_REQUEST,
                          "start and end are Unix times in milliseconds, start before end, at most a day apart\n");
    const char* download = MHD_lookup_connection_value(connection, MHD_GET_ARGUMENT_KIND, "download");
    if (!take_place(&exports_running, MAX_EXPORTS))
        return reply_text(connection, MHD_HTTP_SERVICE_UNAVAILABLE, "too many recordings are being sent\n");
    RecordingExport* export = recording_export_open(settings.directory, camera, start, end);
    if (!export) {
        end_export(NULL);
        return reply_text(connection, MHD_HTTP_NOT_FOUND, "nothing recorded in this range\n");
    }
    struct MHD_Response* response =
        MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 65536, read_export, export, end_export);
    if (!response) {
        end_export(export);
        return MHD_NO;
    }
    char origin[32];
    snprintf(origin, sizeof origin, "%lld", (long long)recording_export_origin_ms(export));
    MHD_add_response_header(response, "X-Recording-Start-Ms", origin);
    if (download && strcmp(download, "1") == 0) {
        char disposition[128];
        snprintf(disposition, sizeof disposition, "attachment; filename=\"%s-%lld.mp4\"", camera, start);
        MHD_add_response_header(response, "Content-Disposition", disposition);
    }
    return queue(connection, MHD_HTTP_OK, response, "video/mp4");
}

/* ---- access -------------------------------------------------------------------- */

/* The client's address as 16 bytes (IPv4 mapped into IPv6). */
static void client_address(struct MHD_Connection* connection, unsigned char address[16])
{
    const union MHD_ConnectionInfo* info = MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
    memset(address, 0, 16);
    if (!info || !info->client_addr)
        return;
    if (info->client_addr->sa_family == AF_INET6) {
        memcpy(address, &((const struct sockaddr_in6*)(const void*)info->client_addr)->sin6_addr, 16);
    } else if (info->client_addr->sa_family == AF_INET) {
        address[10] = address[11] = 0xff;
        memcpy(address + 12, &((const struct sockaddr_in*)(const void*)info->client_addr)->sin_addr, 4);
    }
}

/* The address's slot (an old or empty one taken over when it has none). */
static LoginSlot* login_slot(const unsigned char address[16], int64_t now)
{
    LoginSlot* oldest = &logins[0];
    for (int i = 0; i < LOGIN_SLOTS; ++i) {
        if (memcmp(logins[i].address, address, 16) == 0)
            return &logins[i];
        if (logins[i].window_start_us < oldest->window_start_us)
            oldest = &logins[i];
    }
    memcpy(oldest->address, address, 16);
    oldest->failures = 0;
    oldest->window_start_us = now;
    return oldest;
}

static int locked_out(const unsigned char address[16])
{
    const int64_t now = monotonic_us();
    pthread_mutex_lock(&limits_lock);
    LoginSlot* slot = login_slot(address, now);
    if (now - slot->window_start_us >= FAILED_LOGIN_WINDOW_US) {
        slot->failures = 0;
        slot->window_start_us = now;
    }
    const int out = slot->failures >= FAILED_LOGINS;
    pthread_mutex_unlock(&limits_lock);
    return out;
}

static void count_failure(const unsigned char address[16])
{
    pthread_mutex_lock(&limits_lock);
    ++login_slot(address, monotonic_us())->failures;
    pthread_mutex_unlock(&limits_lock);
}

/* 0 to go on, or the status to answer with. */
static unsigned check_access(struct MHD_Connection* connection)
{
    if (!access_rules.user_count)
        return 0;
    unsigned char address[16];
    client_address(connection, address);
    if (locked_out(address))
        return 429;
    char* password = NULL;
    char* user = MHD_basic_auth_get_username_password(connection, &password);
    const int given = user != NULL;
    const int allowed = user && password && web_access_check(&access_rules, user, password);
    MHD_free(user);
    MHD_free(password);
    if (!allowed && given)
        count_failure(address);
    return allowed ? 0 : MHD_HTTP_UNAUTHORIZED;
}

/* ---- the server ---------------------------------------------------------------- */

static enum MHD_Result serve_camera(struct MHD_Connection* connection, const Request* request)
{
    if (request->kind == REQUEST_RECORDINGS)
        return serve_recordings(connection, request->camera);
    if (request->kind == REQUEST_RECORDING)
        return serve_recording(connection, request->camera);
    Camera* camera = camera_named(request->camera);
    if (!camera)
        return reply_text(connection, MHD_HTTP_NOT_FOUND, "no such camera\n");
    size_t length = 0;
    void* bytes = NULL;
    const char* type = "video/mp4";
    switch (request->kind) {
    case REQUEST_PLAYLIST:
        bytes = live_stream_playlist(camera->live, &length);
        type = "application/vnd.apple.mpegurl";
        break;
    case REQUEST_INIT:
        bytes = live_stream_init(camera->live, &length);
        break;
    case REQUEST_MEDIA:
        bytes = live_stream_media(camera->live, request->sequence, request->part, &length);
        type = "video/iso.segment";
        break;
    case REQUEST_SNAPSHOT:
        return serve_snapshot(connection, camera);
    default:
        break;
    }
    return reply_owned(connection, bytes, length, type);
}

static enum MHD_Result serve_page_file(struct MHD_Connection* connection, const char* path)
{
    const PageFile* file = page_file_find(path);
    if (!file)
        return reply_text(connection, MHD_HTTP_NOT_FOUND, "not found\n");
    struct MHD_Response* response =
        MHD_create_response_from_buffer(file->size, (void*)file->data, MHD_RESPMEM_PERSISTENT);
    if (response)
        MHD_add_response_header(response, "Content-Security-Policy",
                                "default-src 'self'; img-src 'self' blob: data:; media-src 'self' blob:; "
                                "frame-ancestors 'none'");
    return queue(connection, MHD_HTTP_OK, response, file->type);
}

static enum MHD_Result answer(void* unused, struct MHD_Connection* connection, const char* url, const char* method,
                              const char* version, const char* upload_data, size_t* upload_data_size,
                              void** context)
{
    (void)unused;
    (void)version;
    (void)upload_data;
    (void)context;
    /* A whole request came: the client may keep the connection for the next. */
    MHD_set_connection_option(connection, MHD_CONNECTION_OPTION_TIMEOUT, (unsigned)KEEPALIVE_SECONDS);
    if (*upload_data_size)
        return reply_text(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
    unsigned refused = check_access(connection);
    if (refused)
        return reply_text(connection, refused, refused == 429 ? "too many failed logins, wait a minute\n"
                                                              : "unauthorized\n");
    if (strcmp(method, MHD_HTTP_METHOD_GET) != 0 && strcmp(method, MHD_HTTP_METHOD_HEAD) != 0)
        return reply_text(connection, MHD_HTTP_METHOD_NOT_ALLOWED, "method not allowed\n");
    if (strlen(url) > MAX_URL)
        return reply_text(connection, MHD_HTTP_URI_TOO_LONG, "address too long\n");
    Request request;
    request_path_parse(url, &request);
    switch (request.kind) {
    case REQUEST_PAGE_FILE:
        return serve_page_file(connection, url);
    case REQUEST_CAMERAS:
        return serve_cameras(connection);
    case REQUEST_UNKNOWN:
        return reply_text(connection, MHD_HTTP_NOT_FOUND, "not found\n");
    default:
        return serve_camera(connection, &request);
    }
}

static int hex_value(char c)
{
    return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
}

/* Percent-decodes the path and the parameters in place, except "%00", which
 * stays as it is: a NUL would cut the text short of what the client sent
 * ("live.m3u8%00.jpg"), and '%' is in no name the server knows. */
static size_t unescape(void* unused, struct MHD_Connection* connection, char* text)
{
    (void)unused;
    (void)connection;
    char* out = text;
    for (const char* in = text; *in; ++out) {
        const int high = in[0] == '%' ? hex_value(in[1]) : -1;
        const int low = high >= 0 ? hex_value(in[2]) : -1;
        if (low >= 0 && (high | low)) {
            *out = (char)(high * 16 + low);
            in += 3;
        } else {
            *out = *in++;
        }
    }
    *out = '\0';
    return (size_t)(out - text);
}

static int start_server(void)
{
    const struct sockaddr* address = settings.listen.ipv6 ? (const struct sockaddr*)&settings.listen.v6
                                                   : (const struct sockaddr*)&settings.listen.v4;
    unsigned flags = MHD_USE_AUTO_INTERNAL_THREAD | MHD_USE_ITC | (settings.listen.ipv6 ? MHD_USE_IPv6 : 0) |
                     (access_rules.tls ? MHD_USE_TLS : 0);
    struct MHD_OptionItem tls[] = {
        {access_rules.tls ? MHD_OPTION_HTTPS_MEM_CERT : MHD_OPTION_END, 0, access_rules.certificate},
        {MHD_OPTION_HTTPS_MEM_KEY, 0, access_rules.key},
        {MHD_OPTION_END, 0, NULL},
    };
    web_limits_make_room(MAX_CONNECTIONS);
    errno = 0;
    server = MHD_start_daemon(flags, (uint16_t)settings.listen.port, NULL, NULL, answer, NULL, MHD_OPTION_SOCK_ADDR, address,
                              MHD_OPTION_THREAD_POOL_SIZE, (unsigned)SERVER_THREADS, MHD_OPTION_CONNECTION_LIMIT,
                              (unsigned)MAX_CONNECTIONS, MHD_OPTION_CONNECTION_MEMORY_LIMIT,
                              (size_t)MEMORY_PER_CONNECTION, MHD_OPTION_CONNECTION_TIMEOUT, (unsigned)REQUEST_SECONDS,
                              MHD_OPTION_NOTIFY_CONNECTION, web_limits_connection_started,
                              web_limits_seconds(REQUEST_SECONDS), MHD_OPTION_UNESCAPE_CALLBACK,
                              unescape, NULL, MHD_OPTION_ARRAY, tls,
                              MHD_OPTION_END);
    return server ? 0 : errno ? errno : EIO;
}

static void stop_server(void)
{
    if (server)
        MHD_stop_daemon(server);
    server = NULL;
}

/* ---- entry points ---------------------------------------------------------------- */

EXPORT int32_t Load(void* in, void* out)
{
    (void)in;
    ModuleInfo* info = out;
    if (!read_settings())
        return EINVAL;
    info->module_id = settings.module_id;
    info->class_mask[0] = ORV_VIDEO_PACKET_KEY;
    info->class_mask[1] = ORV_VIDEO_STREAM_KEY;
    info->accepts_write = 1;
    return 0;
}

EXPORT int32_t Open(void* in, void* out)
{
    (void)in;
    (void)out;
    int error = start_server();
    if (error) {
        host_log(ORV_LOG_ERROR, "cannot serve on %s: %s", settings.listen.where, strerror(error));
        return error;
    }
    host_log(ORV_LOG_INFO, "serving %s://%s/%s", access_rules.tls ? "https" : "http", settings.listen.where,
             access_rules.user_count ? " (basic authentication)" : "");
    return 0;
}

EXPORT int32_t Write(void* in, void* out)
{
    const WriteArgs* args = in;
    (void)out;
    const int is_packet = args->event == ORV_EVENT_VIDEO_PACKET;
    if (!is_packet && args->event != ORV_EVENT_VIDEO_STREAM)
        return 0;
    VideoStreamFormat stream;
    VideoPacket packet;
    if (is_packet) {
        memcpy(&packet, args->body, sizeof packet);
        if (packet.size < sizeof packet || packet.version != ORV_VIDEO_RECORD_VERSION)
            return 0;
    } else {
        memcpy(&stream, args->body, sizeof stream);
        if (stream.stream.size < sizeof stream.stream || stream.stream.version != ORV_VIDEO_RECORD_VERSION)
            return 0;
    }
    Camera* camera = camera_of_source(is_packet ? packet.source : stream.stream.source);
    if (!camera)
        return 0;
    if (is_packet) {
        if (packet.size >= sizeof(VideoPacketCamera))
            learn_name(camera, args->body);
        live_stream_packet(camera->live, &packet, args->data, args->length);
    } else if (stream.stream.status == ORV_VIDEO_STREAM_BEGIN) {
        live_stream_begin(camera->live, &stream, args->data, args->length);
    } else if (stream.stream.status == ORV_VIDEO_STREAM_END) {
        live_stream_end(camera->live);
    }
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
    stop_server();
    return 0;
}

EXPORT int32_t Unload(void* in, void* out)
{
    (void)in;
    (void)out;
    stop_server();
    for (int i = 0; i < camera_count; ++i) {
        live_stream_free(cameras[i].live);
        free(cameras[i].jpeg);
        pthread_mutex_destroy(&cameras[i].snapshot_lock);
    }
    camera_count = 0;
    web_access_free(&access_rules);
    return 0;
}
