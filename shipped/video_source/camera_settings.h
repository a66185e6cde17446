/*
 * The cameras of one video source, read from its configuration file. Keys
 * before the first section hold for every camera; each "[name]" section is
 * one camera and may set any of them again:
 *
 *     read_timeout_ms = 5000
 *     [front-door]
 *     url = rtsp://192.0.2.10/stream1
 *     [yard]
 *     url = udp://0.0.0.0:5004
 *     source = 7
 *
 * A file without sections is one camera, named by `name`. A camera's source
 * number is its position (1, 2, ...) unless it sets `source`. Its name is
 * also a directory name: letters, digits, '-', '_' and '.', not first.
 *
 * Read once in Load, then only read.
 */
#ifndef ORVANTIS_SHIPPED_CAMERA_SETTINGS_H
#define ORVANTIS_SHIPPED_CAMERA_SETTINGS_H

#include <stdint.h>

#define CAMERA_SETTINGS_MAX 64

enum AtEnd { AT_END_RECONNECT, AT_END_LOOP, AT_END_STOP };

typedef struct CameraSettings {
    char name[32];
    char url[1024];
    char options[1024];      /* libavformat's options for the input: "name=value name=value" */
    uint64_t source;
    double rate;             /* 1: real time; 0: as fast as the input gives */
    enum AtEnd at_end;
    int64_t open_timeout_us; /* connecting and probing the streams together take at most this long */
    int64_t read_timeout_us; /* no packet for this long is a break */
    int64_t backoff_us;      /* first wait before connecting again */
    int64_t max_backoff_us;
} CameraSettings;

typedef struct CameraList {
    uint64_t module_id;
    int count;               /* cameras with a valid name and a url */
    CameraSettings cameras[CAMERA_SETTINGS_MAX];
} CameraList;

/* Reads the file at `path`; problems (a bad name, too many cameras, a
 * missing url) are logged (host_services.h) and the camera left out.
 * Returns 0 when the file cannot be read: then there are no cameras. */
int camera_settings_load(CameraList* list, const char* path);

/* Whether `name` can be a camera's name. */
int camera_name_valid(const char* name);

#endif
