#include "led/syncmaker.h"

#include <algorithm>
#include <cmath>

namespace led {

namespace {

    constexpr float kFrameMs = 1000.0f / dsp::kFrameRateHz;

    float levelByte(const dsp::SpectrumFrame& frame)
    {
        const float db = frame.rmsDb + frame.agcDb;
        return 255.0f * std::clamp((db - kLevelFloorDb) / -kLevelFloorDb, 0.0f, 1.0f);
    }

} // namespace

SyncMaker::SyncMaker(int bandCount, int fftSize, double sampleRate)
    : channels_(bandCount, dsp::kBandLowHz, dsp::kBandHighHz)
    , bins_(fftSize / 2 + 1)
    , binHz_(sampleRate / fftSize)
    , smoothFactor_(std::exp(-kFrameMs / kSmoothMs))
{
}

AudioSync SyncMaker::make(const dsp::SpectrumFrame& frame, const float* power, bool onset)
{
    return sync(levelByte(frame), frame.bars, peakOf(power), onset);
}

AudioSync SyncMaker::make(const dsp::SpectrumFrame& left, const float* leftPower,
    const dsp::SpectrumFrame& right, const float* rightPower, bool onset)
{
    float bars[dsp::kMaxBands];
    for (int b = 0; b < dsp::kMaxBands; ++b)
        bars[b] = std::max(left.bars[b], right.bars[b]);
    const Peak l = peakOf(leftPower);
    const Peak r = peakOf(rightPower);
    return sync(std::max(levelByte(left), levelByte(right)), bars,
        r.magnitude > l.magnitude ? r : l, onset);
}

AudioSync SyncMaker::sync(float raw, const float* bars, Peak peak, bool onset)
{
    AudioSync s;
    s.sampleRaw = raw;
    smooth_ = raw + smoothFactor_ * (smooth_ - raw);
    s.sampleSmth = smooth_;
    s.samplePeak = onset;
    channels_.apply(bars, s.channels);
    s.fftMagnitude = peak.magnitude;
    s.fftMajorPeakHz = peak.hz;
    return s;
}

SyncMaker::Peak SyncMaker::peakOf(const float* power) const
{
    // DC is no tone; the loudest of the others, the lowest on a tie.
    int top = 1;
    for (int k = 2; k < bins_; ++k) {
        if (power[k] > power[top])
            top = k;
    }
    const float peak = std::sqrt(power[top]);
    double offset = 0.0;
    if (top + 1 < bins_) {
        const double left = std::sqrt(power[top - 1]);
        const double right = std::sqrt(power[top + 1]);
        const double curve = left - 2.0 * peak + right;
        if (curve < 0.0)
            offset = 0.5 * (left - right) / curve;
    }
    const double hz = (top + offset) * binHz_;
    return { peak * kFullScaleMagnitude,
        std::clamp(static_cast<float>(hz), kMinPeakHz, kMaxPeakHz) };
}

} // namespace led
