// The display's cadence: hops of sampleRate / 60 samples, one analysis frame each.
#ifndef MEDIA_HOPCLOCK_H
#define MEDIA_HOPCLOCK_H

#include "dsp/ballistics.h"

namespace media {

// Splits a stream into hops of sampleRate / 60 samples. Where that is not a whole number
// (22050 Hz gives 367.5) the remainder carries over, so every 60 hops hold exactly one second
// and the ballistics' time constants hold at every rate.
class HopClock {
public:
    explicit HopClock(int sampleRateHz)
        : rate_(sampleRateHz)
    {
    }
    int next()
    {
        carry_ += rate_;
        const int hop = carry_ / dsp::kFrameRateHz;
        carry_ -= hop * dsp::kFrameRateHz;
        return hop;
    }
    int largestHop() const { return (rate_ + dsp::kFrameRateHz - 1) / dsp::kFrameRateHz; }

private:
    int rate_;
    int carry_ = 0;
};

} // namespace media

#endif
