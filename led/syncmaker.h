// One audio-sync packet's fields from one analysis frame and its power spectrum.
//
// - sampleRaw: the frame's level with the automatic gain applied (rmsDb + agcDb), on a dB scale
//   from kLevelFloorDb (0) to 0 dBFS (255): -3 dBFS (a full-scale sine's level) reads 242, the
//   gain's target level (dsp::kAgcTargetDb) about 170.
// - sampleSmth: sampleRaw through a one-pole smoother of time constant kSmoothMs per 1/60 s frame.
// - channels: the frame's bars through ChannelMap.
// - FFT_Magnitude: the loudest bin's linear magnitude (the square root of its power, which reads
//   A^2 for a sine of peak amplitude A on a bin) times kFullScaleMagnitude, so that a full-scale
//   sine reads 4096 on a bin and no less than about 3470 between two (the Hann window's dip).
// - FFT_MajorPeak: that bin's frequency, refined between its neighbours by a parabola through
//   the three magnitudes, clamped to kMinPeakHz..kMaxPeakHz.
// - samplePeak: the onset flag passed in.
// - With two sides (a stereo layout) the louder side leads: each band's bar, the level and the
//   loudest bin are the larger of the two sides'.
// make() does not allocate.
#ifndef LED_SYNCMAKER_H
#define LED_SYNCMAKER_H

#include "dsp/spectrumanalyzer.h"
#include "led/audiosync.h"
#include "led/channelmap.h"

namespace led {

constexpr float kLevelFloorDb = -60.0f;
constexpr float kSmoothMs = 100.0f;
constexpr float kFullScaleMagnitude = 4096.0f;
constexpr float kMinPeakHz = 1.0f;
constexpr float kMaxPeakHz = 11025.0f;

class SyncMaker {
public:
    // For frames of bandCount bands (the analyser's table) and spectra of fftSize at sampleRate.
    SyncMaker(int bandCount, int fftSize, double sampleRate);

    // power holds fftSize / 2 + 1 bins as dsp::RealFft scales them.
    AudioSync make(const dsp::SpectrumFrame& frame, const float* power, bool onset);
    AudioSync make(const dsp::SpectrumFrame& left, const float* leftPower,
        const dsp::SpectrumFrame& right, const float* rightPower, bool onset);

private:
    struct Peak {
        float magnitude;
        float hz;
    };
    Peak peakOf(const float* power) const;
    AudioSync sync(float raw, const float* bars, Peak peak, bool onset);

    ChannelMap channels_;
    int bins_;
    double binHz_;
    float smooth_ = 0.0f;
    float smoothFactor_;
};

} // namespace led

#endif
