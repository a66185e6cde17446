/*
 * A snapshot: one key frame decoded with libavcodec and encoded as a JPEG,
 * optionally scaled down. The only decoding the module does, on request.
 */
#ifndef ORVANTIS_SHIPPED_SNAPSHOT_H
#define ORVANTIS_SHIPPED_SNAPSHOT_H

#include <stddef.h>
#include <stdint.h>

struct AVCodecParameters;
struct AVPacket;

/* The JPEG (malloc'ed) of `key_frame`, `width` pixels wide (0 or anything
 * at least the picture's width: its own size; the height keeps the aspect),
 * or null when it cannot be decoded or encoded. */
uint8_t* snapshot_jpeg(const struct AVCodecParameters* params, const struct AVPacket* key_frame, int width,
                       size_t* length);

#endif
