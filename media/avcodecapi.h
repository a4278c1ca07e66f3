// The parts of libavcodec's API that changed between FFmpeg 5.1 (libavcodec 59) and 7.1
// (libavcodec 61.13): each version's current form behind one name, so that nothing deprecated is
// called on either.
#ifndef MEDIA_AVCODECAPI_H
#define MEDIA_AVCODECAPI_H

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace media::ffmpeg {

// The encoder's sample rates, ending in 0, or nullptr where it takes any.
inline const int* supportedSampleRates(const AVCodec* codec)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
    const void* rates = nullptr;
    int count = 0;
    if (avcodec_get_supported_config(nullptr, codec, AV_CODEC_CONFIG_SAMPLE_RATE, 0, &rates, &count)
        < 0)
        return nullptr;
    return static_cast<const int*>(rates);
#else
    return codec->supported_samplerates;
#endif
}

// The encoder's preferred sample format, or fallback where it names none.
inline AVSampleFormat preferredSampleFormat(const AVCodec* codec, AVSampleFormat fallback)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(61, 13, 100)
    const void* formats = nullptr;
    int count = 0;
    if (avcodec_get_supported_config(
            nullptr, codec, AV_CODEC_CONFIG_SAMPLE_FORMAT, 0, &formats, &count)
            < 0
        || count == 0)
        return fallback;
    return static_cast<const AVSampleFormat*>(formats)[0];
#else
    return codec->sample_fmts ? codec->sample_fmts[0] : fallback;
#endif
}

} // namespace media::ffmpeg

#endif
