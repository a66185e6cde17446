#include "parameter_watch.h"

#include <string.h>

/* Whether extradata is a run of start-code-prefixed parameter sets, as in
 * MPEG-TS and RTSP, rather than an avcC/hvcC record (whose packets are
 * length-prefixed and carry no parameter sets to find). */
static int annex_b(const AVCodecParameters* params)
{
    const uint8_t* data = params->extradata;
    const int size = params->extradata_size;
    return size == 0 || (size > 3 && data[0] == 0 && data[1] == 0 && (data[2] == 1 || (data[2] == 0 && data[3] == 1)));
}

static void set_extradata(AVCodecContext* context, const uint8_t* data, size_t size)
{
    av_freep(&context->extradata);
    context->extradata_size = 0;
    if (size && (context->extradata = av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE))) {
        memcpy(context->extradata, data, size);
        context->extradata_size = (int)size;
    }
}

int parameter_watch_start(ParameterWatch* watch, const AVCodecParameters* params)
{
    memset(watch, 0, sizeof *watch);
    watch->context = avcodec_alloc_context3(NULL);
    watch->copy = av_packet_alloc();
    if (!watch->context || !watch->copy)
        return 0;
    set_extradata(watch->context, params->extradata, (size_t)params->extradata_size);
    watch->context->codec_id = params->codec_id;
    watch->parser = av_parser_init(params->codec_id);
    if (watch->parser)
        watch->parser->flags |= PARSER_FLAG_COMPLETE_FRAMES;
    const AVBitStreamFilter* filter = av_bsf_get_by_name("extract_extradata");
    if (!annex_b(params) || !filter || av_bsf_alloc(filter, &watch->extract) < 0)
        return 1;
    if (avcodec_parameters_copy(watch->extract->par_in, params) < 0 || av_bsf_init(watch->extract) < 0)
        av_bsf_free(&watch->extract);
    return 1;
}

/* The parameter sets in `packet`, or null. */
static const uint8_t* parameter_sets(ParameterWatch* watch, const AVPacket* packet, size_t* size)
{
    if (!watch->extract || av_packet_ref(watch->copy, packet) < 0)
        return NULL;
    if (av_bsf_send_packet(watch->extract, watch->copy) < 0) {
        av_packet_unref(watch->copy);
        return NULL;
    }
    if (av_bsf_receive_packet(watch->extract, watch->copy) < 0)
        return NULL;
    return av_packet_get_side_data(watch->copy, AV_PKT_DATA_NEW_EXTRADATA, size);
}

int parameter_watch_check(ParameterWatch* watch, const AVPacket* packet, AVCodecParameters* params)
{
    if (!watch->context || !watch->copy)
        return 0;
    size_t size = 0;
    const uint8_t* sets = parameter_sets(watch, packet, &size);
    int changed = sets && ((size_t)params->extradata_size != size || memcmp(params->extradata, sets, size) != 0);
    if (changed) {
        uint8_t* extradata = av_mallocz(size + AV_INPUT_BUFFER_PADDING_SIZE);
        if (extradata) {
            memcpy(extradata, sets, size);
            av_freep(&params->extradata);
            params->extradata = extradata;
            params->extradata_size = (int)size;
            set_extradata(watch->context, sets, size);
        }
    }
    av_packet_unref(watch->copy);
    if (watch->parser) {
        uint8_t* out;
        int out_size;
        av_parser_parse2(watch->parser, watch->context, &out, &out_size, packet->data, packet->size, packet->pts,
                         packet->dts, -1);
        int width = watch->parser->width, height = watch->parser->height;
        if (width > 0 && height > 0 && (width != params->width || height != params->height)) {
            params->width = width;
            params->height = height;
            if (watch->parser->format >= 0)
                params->format = watch->parser->format;
            changed = 1;
        }
    }
    return changed;
}

void parameter_watch_stop(ParameterWatch* watch)
{
    av_parser_close(watch->parser);
    avcodec_free_context(&watch->context);
    av_bsf_free(&watch->extract);
    av_packet_free(&watch->copy);
}
