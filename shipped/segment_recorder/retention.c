#define _GNU_SOURCE
#include "retention.h"

#include <dirent.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <time.h>
#include <unistd.h>

#include "../common/host_services.h"

#define SUMMARY_INTERVAL_US INT64_C(60000000)

static int64_t monotonic_us(void)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return (int64_t)now.tv_sec * 1000000 + now.tv_nsec / 1000;
}

int64_t retention_start_of(const char* file_name)
{
    struct tm utc;
    int millis = 0;
    memset(&utc, 0, sizeof utc);
    const char* rest = strptime(file_name, "%Y%m%dT%H%M%S", &utc);
    if (!rest || sscanf(rest, ".%3dZ", &millis) != 1)
        return -1;
    return (int64_t)timegm(&utc) * 1000000 + millis * 1000;
}

/* The index of the camera whose name starts `name` up to its first '/';
 * -1 when the table is full. */
static int camera_of(Retention* retention, const char* name)
{
    const size_t length = (size_t)(strchr(name, '/') - name);
    for (int i = 0; i < retention->camera_count; ++i)
        if (strlen(retention->cameras[i].name) == length && memcmp(retention->cameras[i].name, name, length) == 0)
            return i;
    if (retention->camera_count == RETENTION_CAMERAS || length >= sizeof retention->cameras[0].name)
        return -1;
    RetainedCamera* camera = &retention->cameras[retention->camera_count];
    snprintf(camera->name, sizeof camera->name, "%.*s", (int)length, name);
    camera->bytes = 0;
    return retention->camera_count++;
}

/* Inserts in start order; segments mostly come in that order, so from the back. */
static void insert(Retention* retention, const RetainedSegment* segment)
{
    if (retention->count == retention->capacity) {
        int capacity = retention->capacity ? retention->capacity * 2 : 256;
        RetainedSegment* grown = realloc(retention->segments, (size_t)capacity * sizeof *grown);
        if (!grown)
            return;
        retention->segments = grown;
        retention->capacity = capacity;
    }
    int at = retention->count;
    while (at > 0 && retention->segments[at - 1].start_us > segment->start_us)
        --at;
    memmove(&retention->segments[at + 1], &retention->segments[at],
            (size_t)(retention->count - at) * sizeof *retention->segments);
    retention->segments[at] = *segment;
    ++retention->count;
    retention->bytes += segment->bytes;
    retention->cameras[segment->camera].bytes += segment->bytes;
}

void retention_add(Retention* retention, const char* name, int64_t start_us, int64_t bytes)
{
    RetainedSegment segment;
    const char* slash = strchr(name, '/');
    if (!slash || strlen(name) >= sizeof segment.name || (segment.camera = camera_of(retention, name)) < 0)
        return;
    snprintf(segment.name, sizeof segment.name, "%s", name);
    segment.start_us = start_us;
    segment.bytes = bytes;
    insert(retention, &segment);
}

/* Adds the segments of "<directory>/<camera>/<day>/". */
static void scan_folder(Retention* retention, const char* camera, const char* day)
{
    char path[4096];
    snprintf(path, sizeof path, "%s/%s/%s", retention->directory, camera, day);
    DIR* folder = opendir(path);
    struct dirent* entry;
    while (folder && (entry = readdir(folder))) {
        struct stat status;
        char name[512];
        int64_t start_us = retention_start_of(entry->d_name);
        if (snprintf(name, sizeof name, "%s/%s/%s", camera, day, entry->d_name) >= (int)sizeof name ||
            snprintf(path, sizeof path, "%s/%s", retention->directory, name) >= (int)sizeof path)
            continue;
        if (start_us >= 0 && stat(path, &status) == 0 && S_ISREG(status.st_mode))
            retention_add(retention, name, start_us, (int64_t)status.st_size);
    }
    if (folder)
        closedir(folder);
}

static void scan(Retention* retention)
{
    DIR* top = opendir(retention->directory);
    struct dirent* camera;
    while (top && (camera = readdir(top))) {
        char path[4096];
        if (camera->d_name[0] == '.')
            continue;
        snprintf(path, sizeof path, "%s/%s", retention->directory, camera->d_name);
        DIR* days = opendir(path);
        struct dirent* day;
        while (days && (day = readdir(days)))
            if (day->d_name[0] != '.')
                scan_folder(retention, camera->d_name, day->d_name);
        if (days)
            closedir(days);
    }
    if (top)
        closedir(top);
}

void retention_start(Retention* retention, const char* directory, RetentionLimits limits)
{
    memset(retention, 0, sizeof *retention);
    retention->directory = directory;
    retention->limits = limits;
    retention->reported_us = monotonic_us() - SUMMARY_INTERVAL_US;
    scan(retention);
}

/* Sums up the deletions not yet reported, a minute after the latest summary
 * or `now`. */
static void summarise(Retention* retention, int now)
{
    const int64_t now_us = monotonic_us();
    if (!retention->unreported || (!now && now_us - retention->reported_us < SUMMARY_INTERVAL_US))
        return;
    host_log(ORV_LOG_INFO, "deleted %lu old segments (%lld bytes), %d kept (%lld bytes)",
            retention->unreported, (long long)retention->unreported_bytes, retention->count,
            (long long)retention->bytes);
    retention->unreported = 0;
    retention->unreported_bytes = 0;
    retention->reported_us = now_us;
}

/* Deletes the index-th segment, and its day folder once empty. */
static void delete_segment(Retention* retention, int index)
{
    RetainedSegment* segment = &retention->segments[index];
    char path[4096];
    snprintf(path, sizeof path, "%s/%s", retention->directory, segment->name);
    if (unlink(path) != 0)
        host_log(ORV_LOG_ERROR, "cannot delete the old segment %s: %s", segment->name, strerror(errno));
    if (retention->on_delete)
        retention->on_delete(retention->context, segment->name);
    char* slash = strrchr(path, '/');
    *slash = 0;
    rmdir(path); /* fails while the folder holds anything */
    retention->bytes -= segment->bytes;
    retention->cameras[segment->camera].bytes -= segment->bytes;
    ++retention->deleted;
    retention->deleted_bytes += segment->bytes;
    ++retention->unreported;
    retention->unreported_bytes += segment->bytes;
    memmove(segment, segment + 1, (size_t)(retention->count - index - 1) * sizeof *segment);
    --retention->count;
}

/* The index of the camera's oldest segment, or -1. */
static int oldest_of(const Retention* retention, int camera)
{
    for (int i = 0; i < retention->count; ++i)
        if (retention->segments[i].camera == camera)
            return i;
    return -1;
}

/* The index of the oldest segment of the camera holding the most bytes. */
static int largest_camera_oldest(const Retention* retention)
{
    int largest = -1;
    for (int i = 0; i < retention->camera_count; ++i)
        if (retention->cameras[i].bytes > 0 &&
            (largest < 0 || retention->cameras[i].bytes > retention->cameras[largest].bytes))
            largest = i;
    return largest < 0 ? -1 : oldest_of(retention, largest);
}

int retention_make_room(Retention* retention)
{
    int victim = largest_camera_oldest(retention);
    if (victim < 0)
        return 0;
    delete_segment(retention, victim);
    summarise(retention, 0);
    return 1;
}

static int64_t free_bytes(const Retention* retention)
{
    struct statvfs status;
    if (statvfs(retention->directory, &status) != 0)
        return INT64_MAX;
    return (int64_t)status.f_bavail * (int64_t)status.f_frsize;
}

/* Deletes, per camera, the oldest segments beyond the camera's limits. */
static void enforce_cameras(Retention* retention, int64_t now_us)
{
    const RetentionLimits* limits = &retention->limits;
    for (int camera = 0; camera < retention->camera_count; ++camera) {
        const RetainedCamera* held = &retention->cameras[camera];
        for (int oldest = oldest_of(retention, camera); oldest >= 0; oldest = oldest_of(retention, camera)) {
            int too_old = limits->camera_max_age_us &&
                          now_us - retention->segments[oldest].start_us > limits->camera_max_age_us;
            int too_big = limits->camera_max_bytes && held->bytes > limits->camera_max_bytes;
            if (!too_old && !too_big)
                break;
            delete_segment(retention, oldest);
        }
    }
}

void retention_enforce(Retention* retention, int64_t now_us)
{
    const RetentionLimits* limits = &retention->limits;
    enforce_cameras(retention, now_us);
    while (retention->count > 0 && limits->max_age_us && now_us - retention->segments[0].start_us > limits->max_age_us)
        delete_segment(retention, 0);
    while (retention->count > 0 && ((limits->max_bytes && retention->bytes > limits->max_bytes) ||
                                    (limits->min_free_bytes && free_bytes(retention) < limits->min_free_bytes)))
        delete_segment(retention, largest_camera_oldest(retention));
    summarise(retention, 0);
}

void retention_stop(Retention* retention)
{
    summarise(retention, 1);
    free(retention->segments);
    retention->segments = NULL;
    retention->count = retention->capacity = 0;
}
