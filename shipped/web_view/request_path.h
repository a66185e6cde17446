/*
 * What a request's path asks for. The server hands over the path already
 * percent-decoded, so "%2e%2e" arrives as "..": a path is accepted only when
 * it is exactly one of the shapes below, with a camera name that can never
 * name anything but one folder, and numbers of decimal digits only. Nothing
 * in a path ever becomes part of a file name.
 *
 *   /                                    the page (also /web_view.js, /web_view.css)
 *   /cameras.json                        the cameras and their state
 *   /cameras/NAME/live.m3u8              the live playlist
 *   /cameras/NAME/init.mp4               its initialisation segment
 *   /cameras/NAME/SEQ.m4s                a whole live segment
 *   /cameras/NAME/SEQ.PART.m4s           one part of a live segment
 *   /cameras/NAME/snapshot.jpg           the latest key frame as a JPEG
 *   /cameras/NAME/recordings.json        the recorded segments of a time range
 *   /cameras/NAME/recording.mp4          a time range of the recording as one MP4
 */
#ifndef ORVANTIS_SHIPPED_REQUEST_PATH_H
#define ORVANTIS_SHIPPED_REQUEST_PATH_H

#include <stddef.h>

#define REQUEST_CAMERA_SIZE 32

typedef enum RequestKind {
    REQUEST_UNKNOWN,
    REQUEST_PAGE_FILE,
    REQUEST_CAMERAS,
    REQUEST_PLAYLIST,
    REQUEST_INIT,
    REQUEST_MEDIA,
    REQUEST_SNAPSHOT,
    REQUEST_RECORDINGS,
    REQUEST_RECORDING,
} RequestKind;

typedef struct Request {
    RequestKind kind;
    char camera[REQUEST_CAMERA_SIZE]; /* NUL-terminated, for the camera requests */
    unsigned sequence;                /* REQUEST_MEDIA */
    int part;                         /* REQUEST_MEDIA: the part, or -1 for the whole segment */
} Request;

/* Fills `request` (kind REQUEST_UNKNOWN for any other path). A page file's
 * name is left for the page's own table to look up. */
void request_path_parse(const char* path, Request* request);

/* Letters, digits, '-', '_' and '.' (not first), 1 to 31 of them: the names
 * the video source allows for cameras. */
int request_camera_name_ok(const char* name, size_t length);

/* A parameter of decimal digits (an optional leading '-'), at most 18 of
 * them, within [min, max]; false for anything else or a null text. */
int request_number(const char* text, long long min, long long max, long long* value);

#endif
