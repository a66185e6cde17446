#include "snapshot.h"

#include <libavcodec/avcodec.h>
#include <libswscale/swscale.h>
#include <stdlib.h>
#include <string.h>

/* The decoded picture of a lone key frame: sent, then the decoder drained. */
static AVFrame* decode(const AVCodecParameters* params, const AVPacket* key_frame)
{
    const AVCodec* codec = avcodec_find_decoder(params->codec_id);
    AVCodecContext* decoder = codec ? avcodec_alloc_context3(codec) : NULL;
    AVFrame* frame = av_frame_alloc();
    int ok = decoder && frame && avcodec_parameters_to_context(decoder, params) >= 0;
    if (ok) {
        decoder->thread_count = 1;
        ok = avcodec_open2(decoder, codec, NULL) >= 0 && avcodec_send_packet(decoder, key_frame) >= 0 &&
             avcodec_send_packet(decoder, NULL) >= 0 && avcodec_receive_frame(decoder, frame) >= 0;
    }
    avcodec_free_context(&decoder);
    if (!ok)
        av_frame_free(&frame);
    return frame;
}

static AVFrame* scale(const AVFrame* picture, int width)
{
    if (width <= 0 || width > picture->width)
        width = picture->width;
    int height = (int)((int64_t)picture->height * width / picture->width);
    width += width & 1; /* 4:2:0 wants even sizes */
    height += height & 1;
    AVFrame* scaled = av_frame_alloc();
    struct SwsContext* scaler = sws_getContext(picture->width, picture->height, picture->format, width, height,
                                               AV_PIX_FMT_YUV420P, SWS_BILINEAR, NULL, NULL, NULL);
    int ok = scaled && scaler;
    if (ok) {
        /* JPEG's full range, from the picture's own. */
        const int* coefficients = sws_getCoefficients(SWS_CS_DEFAULT);
        sws_setColorspaceDetails(scaler, coefficients, picture->color_range == AVCOL_RANGE_JPEG, coefficients, 1, 0,
                                 1 << 16, 1 << 16);
        scaled->format = AV_PIX_FMT_YUV420P;
        scaled->color_range = AVCOL_RANGE_JPEG;
        scaled->width = width;
        scaled->height = height;
        ok = av_frame_get_buffer(scaled, 0) >= 0 &&
             sws_scale(scaler, (const uint8_t* const*)picture->data, picture->linesize, 0, picture->height,
                       scaled->data, scaled->linesize) == height;
    }
    sws_freeContext(scaler);
    if (!ok)
        av_frame_free(&scaled);
    return scaled;
}

static uint8_t* encode(const AVFrame* picture, size_t* length)
{
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_MJPEG);
    AVCodecContext* encoder = codec ? avcodec_alloc_context3(codec) : NULL;
    AVPacket* packet = av_packet_alloc();
    uint8_t* jpeg = NULL;
    if (encoder && packet) {
        encoder->width = picture->width;
        encoder->height = picture->height;
        encoder->pix_fmt = AV_PIX_FMT_YUV420P;
        encoder->color_range = AVCOL_RANGE_JPEG;
        encoder->time_base = (AVRational){1, 25};
        encoder->flags |= AV_CODEC_FLAG_QSCALE;
        encoder->global_quality = FF_QP2LAMBDA * 3;
        if (avcodec_open2(encoder, codec, NULL) >= 0 && avcodec_send_frame(encoder, picture) >= 0 &&
            avcodec_receive_packet(encoder, packet) >= 0 && (jpeg = malloc((size_t)packet->size))) {
            memcpy(jpeg, packet->data, (size_t)packet->size);
            *length = (size_t)packet->size;
        }
    }
    av_packet_free(&packet);
    avcodec_free_context(&encoder);
    return jpeg;
}

uint8_t* snapshot_jpeg(const AVCodecParameters* params, const AVPacket* key_frame, int width, size_t* length)
{
    AVFrame* picture = decode(params, key_frame);
    AVFrame* scaled = picture ? scale(picture, width) : NULL;
    uint8_t* jpeg = scaled ? encode(scaled, length) : NULL;
    av_frame_free(&scaled);
    av_frame_free(&picture);
    return jpeg;
}
