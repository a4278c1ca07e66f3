#include "led/channelmap.h"

#include <algorithm>
#include <cmath>

namespace led {

ChannelMap::ChannelMap(int bandCount, float lowHz, float highHz)
    : bandCount_(std::max(bandCount, 1))
    , weights_(static_cast<std::size_t>(kChannels * bandCount_), 0.0f)
{
    // Octaves above lowHz of band b's lower edge.
    const double spanOctaves = std::log2(static_cast<double>(highHz) / lowHz);
    auto edge = [&](int b) { return spanOctaves * b / bandCount_; };
    for (int c = 0; c < kChannels; ++c) {
        const double lo = std::log2(kChannelRanges[std::size_t(c)].lowHz / double(lowHz));
        const double hi = std::log2(kChannelRanges[std::size_t(c)].highHz / double(lowHz));
        for (int b = 0; b < bandCount_; ++b) {
            const double overlap = std::min(hi, edge(b + 1)) - std::max(lo, edge(b));
            if (overlap > 0.0)
                weights_[std::size_t(c * bandCount_ + b)] = static_cast<float>(overlap / (hi - lo));
        }
    }
}

float ChannelMap::weight(int channel, int band) const
{
    return weights_[std::size_t(channel * bandCount_ + band)];
}

void ChannelMap::apply(const float* bars, std::array<std::uint8_t, kChannels>& out) const
{
    for (int c = 0; c < kChannels; ++c) {
        float sum = 0.0f;
        for (int b = 0; b < bandCount_; ++b)
            sum += weight(c, b) * bars[b];
        const long level = std::lround(std::clamp(sum, 0.0f, 1.0f) * 255.0f);
        out[std::size_t(c)] = static_cast<std::uint8_t>(level);
    }
}

} // namespace led
