#include "camera_states.h"

#include <pthread.h>
#include <stdio.h>
#include <string.h>

typedef struct Camera {
    CameraReport report;     /* ages and rates filled in when taken */
    uint32_t serial;         /* of the latest BEGIN */
    int named;               /* a packet came: it is reported */
    int changed;
    int announced;           /* `connected` as last reported; -1 before */
    int64_t last_capture_us;
    uint64_t rate_bytes;     /* bytes at rate_time_us */
    int64_t rate_time_us;
} Camera;

static pthread_mutex_t lock = PTHREAD_MUTEX_INITIALIZER;
static Camera cameras[CAMERA_STATES_MAX]; /* guarded by lock: the first `count` */
static int count;                         /* guarded by lock */

/* The camera of `source`, made on its first record; null beyond the bound.
 * Under lock. */
static Camera* camera_of(uint64_t source)
{
    for (int i = 0; i < count; ++i)
        if (cameras[i].report.source == source)
            return &cameras[i];
    if (count == CAMERA_STATES_MAX)
        return NULL;
    Camera* camera = &cameras[count++];
    memset(camera, 0, sizeof *camera);
    camera->report.source = source;
    camera->report.recording = 1;
    camera->report.last_packet_age = -1;
    camera->announced = -1;
    snprintf(camera->report.camera, sizeof camera->report.camera, "camera%llu", (unsigned long long)source);
    return camera;
}

void camera_states_stream(const VideoStream* record)
{
    pthread_mutex_lock(&lock);
    Camera* camera = camera_of(record->source);
    if (camera && record->status == ORV_VIDEO_STREAM_BEGIN) {
        CameraReport* report = &camera->report;
        report->connections += !report->connected;
        report->connected = 1;
        camera->serial = record->serial;
        snprintf(report->codec, sizeof report->codec, "%.*s", (int)sizeof record->codec - 1, record->codec);
        report->width = record->width;
        report->height = record->height;
        report->frame_rate = record->frame_rate_num > 0 && record->frame_rate_den > 0
                                 ? (double)record->frame_rate_num / record->frame_rate_den : 0;
        camera->changed = 1;
    } else if (camera && record->status == ORV_VIDEO_STREAM_END && record->serial == camera->serial) {
        camera->report.connected = 0;
        camera->changed = 1;
    }
    pthread_mutex_unlock(&lock);
}

void camera_states_packet(const VideoPacket* record, const char* name, int32_t length)
{
    pthread_mutex_lock(&lock);
    Camera* camera = camera_of(record->source);
    if (camera) {
        if (name && strcmp(name, camera->report.camera) != 0) {
            snprintf(camera->report.camera, sizeof camera->report.camera, "%s", name);
            camera->changed = 1;
        }
        camera->changed |= !camera->named;
        camera->named = 1;
        ++camera->report.packets;
        camera->report.bytes += length > 0 ? (uint64_t)length : 0;
        camera->last_capture_us = record->capture_time_us;
    }
    pthread_mutex_unlock(&lock);
}

void camera_states_recording(const char* name, int recording)
{
    pthread_mutex_lock(&lock);
    for (int i = 0; i < count; ++i)
        if (strcmp(cameras[i].report.camera, name) == 0 && cameras[i].report.recording != recording) {
            cameras[i].report.recording = recording;
            cameras[i].changed = 1;
        }
    pthread_mutex_unlock(&lock);
}

/* The bitrate over at least the latest second. Under lock. */
static void follow_rate(Camera* camera, int64_t now_us)
{
    const int64_t elapsed = now_us - camera->rate_time_us;
    if (camera->rate_time_us == 0 || elapsed < 0) {
        camera->rate_time_us = now_us;
        camera->rate_bytes = camera->report.bytes;
    } else if (elapsed >= 1000000) {
        camera->report.bitrate = 8e6 * (double)(camera->report.bytes - camera->rate_bytes) / (double)elapsed;
        camera->rate_time_us = now_us;
        camera->rate_bytes = camera->report.bytes;
    }
}

int camera_states_take(CameraReport* reports, int all, int64_t now_us)
{
    int taken = 0;
    pthread_mutex_lock(&lock);
    for (int i = 0; i < count; ++i) {
        Camera* camera = &cameras[i];
        follow_rate(camera, now_us);
        if (!camera->named || !(all || camera->changed))
            continue;
        CameraReport* report = &reports[taken++];
        *report = camera->report;
        report->last_packet_age = (double)(now_us - camera->last_capture_us) / 1e6;
        report->first = camera->announced < 0;
        report->connected_changed = camera->announced != report->connected;
        camera->announced = report->connected;
        camera->changed = 0;
    }
    pthread_mutex_unlock(&lock);
    return taken;
}
