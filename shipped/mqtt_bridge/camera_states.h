/*
 * What the bridge knows of each camera, from the video records it receives
 * (routing/video_api.h): connected or not, codec, size, nominal frame rate,
 * packets and bytes, bitrate and the age of the latest packet, and whether
 * its recording is paused. A camera is known by its source number; its
 * name comes with its packets ("camera<source>" until one names it), so a
 * camera is reported from its first packet on.
 *
 * Thread safety: the records arrive on the event-handler thread, the
 * reports are taken on the bridge's thread; one lock guards the table and is
 * held only to copy.
 */
#ifndef ORVANTIS_MQTT_CAMERA_STATES_H
#define ORVANTIS_MQTT_CAMERA_STATES_H

#include <stdint.h>

#include "routing/video_api.h"

#define CAMERA_STATES_MAX 64

typedef struct CameraReport {
    char camera[32];
    uint64_t source;
    int connected;
    int connected_changed;   /* since the previous report: an event is due */
    int first;               /* the camera's first report */
    int recording;           /* 0 while paused by a command */
    char codec[32];
    uint32_t width;
    uint32_t height;
    double frame_rate;       /* nominal; 0 when unknown */
    double bitrate;          /* bits per second over the latest second or more */
    double last_packet_age;  /* seconds; negative before the first packet */
    uint64_t packets;
    uint64_t bytes;
    uint64_t connections;
} CameraReport;

/* A stream record or a packet (its record and payload length). */
void camera_states_stream(const VideoStream* record);
void camera_states_packet(const VideoPacket* record, const char* camera, int32_t length);

/* The recording state a command's answer tells of `camera`. */
void camera_states_recording(const char* camera, int recording);

/* Copies into `reports` (room for CAMERA_STATES_MAX) the cameras whose
 * state changed since their last report, or every camera when `all`; the
 * count. `now_us`: the wall clock, for ages and rates. */
int camera_states_take(CameraReport* reports, int all, int64_t now_us);

#endif
