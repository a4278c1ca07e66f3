#include "media/samplemix.h"

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/samplefmt.h>
}

#include <cfloat>
#include <cmath>
#include <cstddef>

namespace media {

namespace {

    // Full scale of each encoding to +-1.0. Non-finite samples, and doubles beyond what a float
    // holds, become silence and are counted.
    inline double unit(std::uint8_t v, std::int64_t&)
    {
        return (v - 128) / 128.0;
    }
    inline double unit(std::int16_t v, std::int64_t&)
    {
        return v / 32768.0;
    }
    inline double unit(std::int32_t v, std::int64_t&)
    {
        return v / 2147483648.0;
    }
    inline double unit(std::int64_t v, std::int64_t&)
    {
        return static_cast<double>(v) / 9223372036854775808.0;
    }
    inline double unit(float v, std::int64_t& nonFinite)
    {
        if (std::isfinite(v))
            return v;
        ++nonFinite;
        return 0.0;
    }
    inline double unit(double v, std::int64_t& nonFinite)
    {
        if (std::isfinite(v) && std::fabs(v) <= FLT_MAX)
            return v;
        ++nonFinite;
        return 0.0;
    }

    // Averages n frames from frame `first` of f into out; planar or interleaved. When channels
    // is not null, the frames' own samples go there too, interleaved.
    template <typename T>
    void mix(
        const AVFrame& f, int first, int n, float* out, float* channels, std::int64_t& nonFinite)
    {
        const int count = f.ch_layout.nb_channels;
        const bool planar = av_sample_fmt_is_planar(static_cast<AVSampleFormat>(f.format));
        const T* packed = reinterpret_cast<const T*>(f.extended_data[0]);
        for (int i = 0; i < n; ++i) {
            const int at = first + i;
            double sum = 0.0;
            for (int c = 0; c < count; ++c) {
                const T v = planar ? reinterpret_cast<const T*>(f.extended_data[c])[at]
                                   : packed[static_cast<std::size_t>(at) * count + c];
                const double u = unit(v, nonFinite);
                sum += u;
                if (channels)
                    channels[static_cast<std::size_t>(i) * count + c] = static_cast<float>(u);
            }
            out[i] = static_cast<float>(sum / count);
        }
    }

} // namespace

bool knownSampleFormat(int format)
{
    switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(format))) {
    case AV_SAMPLE_FMT_U8:
    case AV_SAMPLE_FMT_S16:
    case AV_SAMPLE_FMT_S32:
    case AV_SAMPLE_FMT_S64:
    case AV_SAMPLE_FMT_FLT:
    case AV_SAMPLE_FMT_DBL:
        return true;
    default:
        return false;
    }
}

void mixFrame(
    const AVFrame& f, int first, int n, float* out, float* channels, std::int64_t& nonFinite)
{
    switch (av_get_packed_sample_fmt(static_cast<AVSampleFormat>(f.format))) {
    case AV_SAMPLE_FMT_U8:
        mix<std::uint8_t>(f, first, n, out, channels, nonFinite);
        break;
    case AV_SAMPLE_FMT_S16:
        mix<std::int16_t>(f, first, n, out, channels, nonFinite);
        break;
    case AV_SAMPLE_FMT_S32:
        mix<std::int32_t>(f, first, n, out, channels, nonFinite);
        break;
    case AV_SAMPLE_FMT_S64:
        mix<std::int64_t>(f, first, n, out, channels, nonFinite);
        break;
    case AV_SAMPLE_FMT_FLT:
        mix<float>(f, first, n, out, channels, nonFinite);
        break;
    default:
        mix<double>(f, first, n, out, channels, nonFinite);
        break;
    }
}

} // namespace media
