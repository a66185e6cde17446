/*
 * AAC from an ADTS stream (MPEG-TS, a camera's raw AAC) the way containers
 * hold it: raw frames, with the AudioSpecificConfig as the codec's
 * extradata. The recorder's muxers need that config before the first frame
 * (a fragmented MP4 writes it into its header), so the source makes it from
 * the stream's parameters when it connects and strips each packet's header.
 */
#ifndef ORVANTIS_SHIPPED_ADTS_H
#define ORVANTIS_SHIPPED_ADTS_H

#include <libavcodec/avcodec.h>
#include <stdint.h>

/* Writes the AudioSpecificConfig of an AAC stream's parameters; its length
 * (2), or 0 when they fit none without a channel element list (an unusual
 * sample rate or channel count, an unknown profile). */
int adts_config(const AVCodecParameters* params, uint8_t config[2]);

/* The length of the ADTS header `data` starts with (7, or 9 with a CRC);
 * 0 when it starts with none; -1 when the header announces more than one
 * raw frame, which a container cannot hold as one packet. */
int adts_header_length(const uint8_t* data, int size);

#endif
