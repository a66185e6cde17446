#include "adts.h"

static const int sample_rates[] = {96000, 88200, 64000, 48000, 44100, 32000, 24000,
                                   22050, 16000, 12000, 11025, 8000,  7350};

int adts_config(const AVCodecParameters* params, uint8_t config[2])
{
    const int object_type = params->profile + 1; /* FFmpeg's AAC profiles are object types less one */
    const int channels = params->ch_layout.nb_channels;
    const int channel_config = channels == 8 ? 7 : channels; /* 1 to 6 channels, or 7.1 */
    int index = 0;
    while (index < (int)(sizeof sample_rates / sizeof *sample_rates) && sample_rates[index] != params->sample_rate)
        ++index;
    if (params->profile < 0 || object_type > 30 || index == (int)(sizeof sample_rates / sizeof *sample_rates) ||
        channels < 1 || channels == 7 || channels > 8)
        return 0;
    config[0] = (uint8_t)(object_type << 3 | index >> 1);
    config[1] = (uint8_t)((index & 1) << 7 | channel_config << 3);
    return 2;
}

int adts_header_length(const uint8_t* data, int size)
{
    if (size < 7 || data[0] != 0xFF || (data[1] & 0xF6) != 0xF0)
        return 0;
    if ((data[6] & 0x03) != 0)
        return -1;
    return (data[1] & 0x01) ? 7 : 9;
}
