/*
 * Parameters that change inside the stream: a camera that switches its
 * resolution sends new parameter sets (H.264/HEVC SPS and PPS, an MPEG-2
 * sequence header) in front of a key frame, while the demuxer goes on
 * declaring the old size. The watch parses each key frame's headers (no
 * decoding) and reports a new size or new parameter sets.
 *
 * Owned by the worker thread's connection; not thread-safe.
 */
#ifndef ORVANTIS_SHIPPED_PARAMETER_WATCH_H
#define ORVANTIS_SHIPPED_PARAMETER_WATCH_H

#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>

typedef struct ParameterWatch {
    AVCodecParserContext* parser; /* null when the codec has no parser that reports sizes */
    AVCodecContext* context;      /* the parser's, holding the current extradata */
    AVBSFContext* extract;        /* finds the parameter sets in a packet; null when not Annex B */
    AVPacket* copy;
} ParameterWatch;

/* Starts watching a stream with parameters `params`; 0 when out of memory
 * (the watch then reports nothing). */
int parameter_watch_start(ParameterWatch* watch, const AVCodecParameters* params);

/* Checks key frame `packet` against `params`: when its headers declare
 * another size or carry other parameter sets, updates `params` and returns
 * nonzero. */
int parameter_watch_check(ParameterWatch* watch, const AVPacket* packet, AVCodecParameters* params);

void parameter_watch_stop(ParameterWatch* watch);

#endif
