/*
 * The video records: how compressed video travels between modules in the
 * 224-byte Message and its payload. Compiles as C11 and as C++17 and depends
 * only on <stdint.h>, so a module may use it with or without the other two
 * module headers; offsets are binding.
 *
 * A source sends two kinds of message, both with its own module_id as
 * source_id and the record in Message.body:
 *
 *   stream record (VideoStream): flags ORV_VIDEO_STREAM_FLAGS, event
 *     ORV_EVENT_VIDEO_STREAM, payload the codec's extradata (or none). A
 *     BEGIN record comes before the first packet of every connection and
 *     again whenever the codec parameters change; each BEGIN has a new
 *     serial. An END record says that no more packets of that serial follow.
 *     A source that knows the stream's format sends the longer record
 *     VideoStreamFormat (VideoStream.size 168): the same first 96 bytes,
 *     then VideoFormat. Receivers that read only VideoStream see no change.
 *     Stream records are not video for throttling (flags bit 0x01 clear), so
 *     a receiver always knows the parameters of the packets it gets.
 *
 *   packet (VideoPacket): flags ORV_VIDEO_PACKET_FLAGS, event
 *     ORV_EVENT_VIDEO_PACKET, payload one compressed packet exactly as the
 *     demuxer gave it. Video for throttling: while the service throttles, it
 *     refuses packets with result 5. The sequence number still advances for
 *     every packet the source read, so a receiver sees refused (or otherwise
 *     lost) packets as a gap and waits for the next key frame.
 *
 * A source that reads several cameras sends the longer packet record
 * VideoPacketCamera (VideoPacket.size 104): the same first 72 bytes, then the
 * camera's name. Each camera has its own source number, serials and sequence
 * numbers; receivers that read only VideoPacket see no change.
 *
 * Timestamps are in the time base of the packet's stream record (its serial),
 * and may start again at any value after a new BEGIN.
 *
 * A camera's audio travels the same way under events of its own, which
 * receivers of video alone never match:
 *
 *   audio stream record (AudioStream): flags ORV_AUDIO_STREAM_FLAGS, event
 *     ORV_EVENT_AUDIO_STREAM, payload the codec's extradata (or none). A
 *     source sends a BEGIN after connecting, before that connection's first
 *     video BEGIN, and an END when the connection ends; each BEGIN has a new
 *     audio serial.
 *
 *   audio packet (VideoPacketCamera): flags ORV_AUDIO_PACKET_FLAGS, event
 *     ORV_EVENT_AUDIO_PACKET, payload one compressed audio packet. Its serial
 *     is the audio stream record's, its timestamps are in that record's time
 *     base, its sequence counts the audio packets, and ORV_VIDEO_KEY_FRAME
 *     marks the packets decoding can start at. Refused while the service
 *     throttles, like video.
 *
 * The audio packets between an audio BEGIN and its END come from the same
 * input as the source's video packets of that time: their timestamps run on
 * the same clock, each in its own time base, so a receiver keeps them in
 * sync by their timestamps alone.
 */
#ifndef ORVANTIS_ROUTING_VIDEO_API_H
#define ORVANTIS_ROUTING_VIDEO_API_H

#include <stdint.h>

#ifdef __cplusplus
#define ORV_VIDEO_STATIC_ASSERT(condition, text) static_assert(condition, text)
extern "C" {
#else
#define ORV_VIDEO_STATIC_ASSERT(condition, text) _Static_assert(condition, text)
#endif
/* offsetof without <stddef.h>; both compilers of the platform provide it. */
#define ORV_VIDEO_OFFSET(type, field) __builtin_offsetof(type, field)

/* Routing of the two messages. Packets select class_mask[0], stream records
 * class_mask[1]; a receiver puts the match key into that mask. */
#define ORV_EVENT_VIDEO_PACKET UINT64_C(0x1000100)
#define ORV_EVENT_VIDEO_STREAM UINT64_C(0x1000200)
#define ORV_VIDEO_PACKET_FLAGS UINT64_C(0x01)
#define ORV_VIDEO_STREAM_FLAGS UINT64_C(0x02)
#define ORV_VIDEO_PACKET_KEY UINT64_C(0x2000100) /* for class_mask[0] */
#define ORV_VIDEO_STREAM_KEY UINT64_C(0x2000200) /* for class_mask[1] */
#define ORV_EVENT_AUDIO_PACKET UINT64_C(0x1004000)
#define ORV_EVENT_AUDIO_STREAM UINT64_C(0x1008000)
#define ORV_AUDIO_PACKET_FLAGS ORV_VIDEO_PACKET_FLAGS
#define ORV_AUDIO_STREAM_FLAGS ORV_VIDEO_STREAM_FLAGS
#define ORV_AUDIO_PACKET_KEY UINT64_C(0x2004000) /* for class_mask[0] */
#define ORV_AUDIO_STREAM_KEY UINT64_C(0x2008000) /* for class_mask[1] */

/* A timestamp that the input did not give. */
#define ORV_VIDEO_NO_TIMESTAMP INT64_MIN

/* VideoPacket.packet_flags */
#define ORV_VIDEO_KEY_FRAME 0x1u /* decoding can start at this packet */

/* VideoStream.status and AudioStream.status */
#define ORV_VIDEO_STREAM_BEGIN 1u /* these parameters hold for the packets of this serial */
#define ORV_VIDEO_STREAM_END 2u   /* no more packets of this serial follow */

#define ORV_VIDEO_RECORD_VERSION 1u

/* One compressed packet (72 bytes, version 1), in Message.body. */
typedef struct VideoPacket {
    uint32_t size;             /* 72 */
    uint32_t version;          /* 1 */
    uint64_t source;           /* the source's own id (its configuration), not the module_id */
    uint64_t sequence;         /* +1 for every packet the source read, sent or not: a jump is a gap */
    uint32_t serial;           /* the VideoStream these parameters and timestamps belong to */
    uint32_t stream_index;     /* the stream's index in the source's input */
    int64_t pts;               /* presentation time in the stream's time base, or ORV_VIDEO_NO_TIMESTAMP */
    int64_t dts;               /* decoding time, likewise; increases within a serial */
    int64_t duration;          /* in the stream's time base; 0 when unknown */
    int64_t capture_time_us;   /* wall clock (Unix epoch, microseconds) when the source read it */
    uint32_t packet_flags;     /* ORV_VIDEO_KEY_FRAME */
    uint32_t reserved;         /* 0 */
} VideoPacket;
ORV_VIDEO_STATIC_ASSERT(sizeof(VideoPacket) == 72, "VideoPacket is 72 bytes");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, version) == 4, "VideoPacket.version at 4");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, source) == 8, "VideoPacket.source at 8");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, sequence) == 16, "VideoPacket.sequence at 16");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, serial) == 24, "VideoPacket.serial at 24");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, stream_index) == 28, "VideoPacket.stream_index at 28");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, pts) == 32, "VideoPacket.pts at 32");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, dts) == 40, "VideoPacket.dts at 40");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, duration) == 48, "VideoPacket.duration at 48");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, capture_time_us) == 56, "VideoPacket.capture_time_us at 56");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, packet_flags) == 64, "VideoPacket.packet_flags at 64");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacket, reserved) == 68, "VideoPacket.reserved at 68");

/* The parameters of a stream (96 bytes, version 1), in Message.body; the
 * payload is the codec's extradata (for H.264 the SPS and PPS). */
typedef struct VideoStream {
    uint32_t size;             /* 96 */
    uint32_t version;          /* 1 */
    uint64_t source;           /* as in VideoPacket */
    uint32_t serial;           /* new (larger) for every BEGIN of this source; 1 is the first */
    uint32_t status;           /* ORV_VIDEO_STREAM_BEGIN or ORV_VIDEO_STREAM_END */
    char codec[32];            /* the codec's FFmpeg name ("h264", "hevc", "mjpeg"), NUL-terminated */
    uint32_t width;            /* pixels; 0 when unknown */
    uint32_t height;
    int32_t time_base_num;     /* the unit of pts, dts and duration: num/den seconds */
    int32_t time_base_den;
    int32_t frame_rate_num;    /* nominal frames per second num/den; 0/0 when unknown */
    int32_t frame_rate_den;
    uint32_t stream_index;     /* as in VideoPacket */
    uint32_t reserved;         /* 0 */
    int64_t start_time_us;     /* wall clock (Unix epoch, microseconds) when the connection was made */
} VideoStream;
ORV_VIDEO_STATIC_ASSERT(sizeof(VideoStream) == 96, "VideoStream is 96 bytes");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, version) == 4, "VideoStream.version at 4");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, source) == 8, "VideoStream.source at 8");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, serial) == 16, "VideoStream.serial at 16");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, status) == 20, "VideoStream.status at 20");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, codec) == 24, "VideoStream.codec at 24");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, width) == 56, "VideoStream.width at 56");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, height) == 60, "VideoStream.height at 60");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, time_base_num) == 64, "VideoStream.time_base_num at 64");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, time_base_den) == 68, "VideoStream.time_base_den at 68");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, frame_rate_num) == 72, "VideoStream.frame_rate_num at 72");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, frame_rate_den) == 76, "VideoStream.frame_rate_den at 76");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, stream_index) == 80, "VideoStream.stream_index at 80");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, reserved) == 84, "VideoStream.reserved at 84");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStream, start_time_us) == 88, "VideoStream.start_time_us at 88");

/* The format of the pictures (72 bytes), which a muxer needs beside codec,
 * size and extradata (a VP9 or AV1 header in MP4 is written from it). The
 * enumerations are FFmpeg's numbers, which for the colour fields are the
 * code points of ITU-T H.273. */
typedef struct VideoFormat {
    char pixel_format[32];     /* FFmpeg's name ("yuv420p", "yuv420p10le"); empty when unknown */
    int32_t profile;           /* FFmpeg's number for the codec's profile; -99 when unknown */
    int32_t level;             /* likewise; -99 when unknown */
    uint8_t color_range;       /* 0 unknown, 1 limited (TV), 2 full (PC) */
    uint8_t color_primaries;   /* 2 unspecified */
    uint8_t color_transfer;    /* 2 unspecified */
    uint8_t color_space;       /* 2 unspecified */
    uint8_t chroma_location;   /* 0 unspecified, 1 left, 2 center, ... */
    uint8_t field_order;       /* 0 unknown, 1 progressive, 2-5 interlaced orders */
    uint16_t bits_per_sample;  /* bits per raw sample; 0 when unknown */
    int32_t aspect_num;        /* the pixels' aspect ratio; 0/1 when unknown */
    int32_t aspect_den;
    uint32_t video_delay;      /* pictures by which decoding runs ahead of display (B-frames) */
    uint32_t reserved[3];      /* 0 */
} VideoFormat;
ORV_VIDEO_STATIC_ASSERT(sizeof(VideoFormat) == 72, "VideoFormat is 72 bytes");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoFormat, profile) == 32, "VideoFormat.profile at 32");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoFormat, level) == 36, "VideoFormat.level at 36");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoFormat, color_range) == 40, "VideoFormat.color_range at 40");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoFormat, chroma_location) == 44, "VideoFormat.chroma_location at 44");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoFormat, bits_per_sample) == 46, "VideoFormat.bits_per_sample at 46");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoFormat, aspect_num) == 48, "VideoFormat.aspect_num at 48");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoFormat, aspect_den) == 52, "VideoFormat.aspect_den at 52");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoFormat, video_delay) == 56, "VideoFormat.video_delay at 56");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoFormat, reserved) == 60, "VideoFormat.reserved at 60");

/* A stream record with its format (168 bytes, the whole Message.body):
 * stream.size is 168 and stream.version still 1. A receiver knows the format
 * is there when stream.size is at least sizeof(VideoStreamFormat). */
typedef struct VideoStreamFormat {
    VideoStream stream;
    VideoFormat format;
} VideoStreamFormat;
ORV_VIDEO_STATIC_ASSERT(sizeof(VideoStreamFormat) == 168, "VideoStreamFormat is 168 bytes");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoStreamFormat, format) == 96, "VideoStreamFormat.format at 96");

/* A packet record with its camera's name (104 bytes): packet.size is 104
 * and packet.version still 1. A receiver knows the name is there when
 * packet.size is at least sizeof(VideoPacketCamera). */
typedef struct VideoPacketCamera {
    VideoPacket packet;
    char camera[32];           /* the camera's name, NUL-terminated; also a directory name */
} VideoPacketCamera;
ORV_VIDEO_STATIC_ASSERT(sizeof(VideoPacketCamera) == 104, "VideoPacketCamera is 104 bytes");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(VideoPacketCamera, camera) == 72, "VideoPacketCamera.camera at 72");

/* The parameters of a camera's audio (96 bytes, version 1), in
 * Message.body; the payload is the codec's extradata (for AAC the
 * AudioSpecificConfig, for Opus its header). */
typedef struct AudioStream {
    uint32_t size;             /* 96 */
    uint32_t version;          /* 1 */
    uint64_t source;           /* as in VideoStream: the camera's */
    uint32_t serial;           /* new (larger) for every audio BEGIN of this source; 1 is the first */
    uint32_t status;           /* ORV_VIDEO_STREAM_BEGIN or ORV_VIDEO_STREAM_END */
    char codec[32];            /* FFmpeg's name ("aac", "pcm_mulaw", "pcm_alaw", "opus"), NUL-terminated */
    uint32_t sample_rate;      /* samples a second */
    uint32_t channels;
    int32_t time_base_num;     /* the unit of the audio packets' pts, dts and duration */
    int32_t time_base_den;
    uint32_t frame_size;       /* samples per packet when fixed (AAC: 1024); 0 otherwise */
    uint32_t stream_index;     /* the stream's index in the source's input */
    int32_t profile;           /* FFmpeg's number for the codec's profile; -99 when unknown */
    uint32_t bits_per_sample;  /* bits per coded sample (G.711: 8); 0 when not fixed */
    int64_t start_time_us;     /* wall clock (Unix epoch, microseconds) when the connection was made */
} AudioStream;
ORV_VIDEO_STATIC_ASSERT(sizeof(AudioStream) == 96, "AudioStream is 96 bytes");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, version) == 4, "AudioStream.version at 4");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, source) == 8, "AudioStream.source at 8");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, serial) == 16, "AudioStream.serial at 16");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, status) == 20, "AudioStream.status at 20");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, codec) == 24, "AudioStream.codec at 24");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, sample_rate) == 56, "AudioStream.sample_rate at 56");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, channels) == 60, "AudioStream.channels at 60");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, time_base_num) == 64, "AudioStream.time_base_num at 64");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, time_base_den) == 68, "AudioStream.time_base_den at 68");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, frame_size) == 72, "AudioStream.frame_size at 72");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, stream_index) == 76, "AudioStream.stream_index at 76");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, profile) == 80, "AudioStream.profile at 80");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, bits_per_sample) == 84, "AudioStream.bits_per_sample at 84");
ORV_VIDEO_STATIC_ASSERT(ORV_VIDEO_OFFSET(AudioStream, start_time_us) == 88, "AudioStream.start_time_us at 88");

#ifdef __cplusplus
}
#endif

#endif /* ORVANTIS_ROUTING_VIDEO_API_H */
