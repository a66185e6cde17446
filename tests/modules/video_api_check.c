/* Compiled as C11 and as C++17 by the tests: the video records on their own,
 * without the other module headers, filled the way a source fills them. */
#include "routing/video_api.h"

#include <string.h>

int orv_video_api_check(void);

int orv_video_api_check(void)
{
    VideoStream stream;
    VideoStreamFormat extended;
    VideoPacket packet;
    VideoPacketCamera named;
    AudioStream audio;
    memset(&stream, 0, sizeof stream);
    memset(&extended, 0, sizeof extended);
    memset(&packet, 0, sizeof packet);
    stream.size = sizeof stream;
    stream.version = ORV_VIDEO_RECORD_VERSION;
    stream.status = ORV_VIDEO_STREAM_BEGIN;
    strcpy(stream.codec, "h264");
    extended.stream = stream;
    extended.stream.size = sizeof extended;
    strcpy(extended.format.pixel_format, "yuv420p10le");
    extended.format.profile = -99;
    packet.size = sizeof packet;
    packet.version = ORV_VIDEO_RECORD_VERSION;
    packet.serial = stream.serial;
    packet.pts = ORV_VIDEO_NO_TIMESTAMP;
    packet.packet_flags = ORV_VIDEO_KEY_FRAME;
    memset(&named, 0, sizeof named);
    named.packet = packet;
    named.packet.size = sizeof named;
    strcpy(named.camera, "front-door");
    memset(&audio, 0, sizeof audio);
    audio.size = sizeof audio;
    audio.version = ORV_VIDEO_RECORD_VERSION;
    audio.status = ORV_VIDEO_STREAM_BEGIN;
    strcpy(audio.codec, "pcm_mulaw");
    audio.sample_rate = 8000;
    return sizeof extended == 168 && extended.stream.version == stream.version && sizeof named <= 168 &&
           named.packet.version == packet.version && ORV_VIDEO_PACKET_KEY == (ORV_EVENT_VIDEO_PACKET << 1) &&
           ORV_VIDEO_STREAM_KEY == (ORV_EVENT_VIDEO_STREAM << 1) && sizeof audio <= 168 &&
           ORV_AUDIO_PACKET_KEY == (ORV_EVENT_AUDIO_PACKET << 1) && ORV_AUDIO_STREAM_KEY == (ORV_EVENT_AUDIO_STREAM << 1) &&
           /* a receiver of video alone never matches audio: its key holds a bit the video keys lack */
           (ORV_AUDIO_PACKET_KEY & ~ORV_VIDEO_PACKET_KEY) != 0 &&
           (ORV_AUDIO_STREAM_KEY & ~ORV_VIDEO_STREAM_KEY) != 0;
}
