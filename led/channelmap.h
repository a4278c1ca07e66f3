// The LED boards' 16 equaliser channels from our log-spaced bands.
//
// The boards' channels cover 43 Hz to 9.26 kHz in 16 ranges of their own (kChannelRanges). Each
// channel is the mean of the bands' bar heights weighted by how much of the channel each band
// covers, both measured on a log-frequency axis (the bands are log-spaced), scaled to 0..255.
// Bands wholly above 9.26 kHz light no channel.
#ifndef LED_CHANNELMAP_H
#define LED_CHANNELMAP_H

#include "led/audiosync.h"

#include <array>
#include <vector>

namespace led {

struct ChannelRange {
    float lowHz;
    float highHz;
};

// The boards' published channel table: channel i spans lowHz..highHz.
constexpr std::array<ChannelRange, kChannels> kChannelRanges { { { 43.0f, 86.0f },
    { 86.0f, 129.0f }, { 129.0f, 216.0f }, { 216.0f, 301.0f }, { 301.0f, 430.0f },
    { 430.0f, 560.0f }, { 560.0f, 818.0f }, { 818.0f, 1120.0f }, { 1120.0f, 1421.0f },
    { 1421.0f, 1895.0f }, { 1895.0f, 2412.0f }, { 2412.0f, 3015.0f }, { 3015.0f, 3704.0f },
    { 3704.0f, 4479.0f }, { 4479.0f, 7106.0f }, { 7106.0f, 9259.0f } } };

class ChannelMap {
public:
    // For bandCount bands of equal frequency ratio from lowHz to highHz (the analyser's table).
    // Allocates.
    ChannelMap(int bandCount, float lowHz, float highHz);

    // bars holds bandCount heights in 0..1; the channels' bytes go to out.
    void apply(const float* bars, std::array<std::uint8_t, kChannels>& out) const;

    // The share of channel c that band b covers (0..1; a channel's shares add up to 1).
    float weight(int channel, int band) const;

private:
    int bandCount_;
    std::vector<float> weights_; // kChannels rows of bandCount_
};

} // namespace led

#endif
