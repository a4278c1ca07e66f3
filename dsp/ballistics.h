// Display ballistics: turns one row of band levels in dB per display frame into bar heights,
// peak markers, an automatic gain and a presence value.
//
// Contract:
// - One call of step() is one display frame of 1/60 s; every time constant below is applied as a
//   single-precision per-frame factor exp(-kFrameMs / T).
// - At most kMaxBands bands; slots at and beyond the count given to step() are neither read nor
//   written.
// - Bars and peaks lie in 0..1, the gain in kAgcMinDb..kAgcMaxDb, presence in 0..1, whatever the
//   input (NaN band levels read as the floor). A frame with a NaN or +inf RMS or band level
//   leaves the gain where it was.
// - Nothing allocates. The object is a fixed-size, trivially copyable value, and an all-zero
//   object is a fresh instance.
#ifndef DSP_BALLISTICS_H
#define DSP_BALLISTICS_H

#include "dsp/export.h"

#include <cstdint>

namespace dsp {

constexpr int kFrameRateHz = 60;
constexpr float kFrameMs = 1000.0f / 60.0f;
constexpr float kFrameSec = 1.0f / 60.0f;
constexpr int kMaxBands = 32;
constexpr float kAttackMs = 25.0f;
constexpr float kReleaseMs = 180.0f;
constexpr float kFloorDb = -60.0f;
constexpr float kRangeDb = 45.0f;
constexpr float kCentreWeight = 0.7f;
constexpr float kNeighbourWeight = 0.15f;
constexpr float kGateDb = -68.0f;
constexpr float kLoudestStartDb = -160.0f;
constexpr float kAgcTargetDb = -19.5f;
constexpr float kAgcAmount = 0.75f;
constexpr float kAgcMinDb = -6.0f;
constexpr float kAgcMaxDb = 24.0f;
constexpr float kAgcFallMs = 300.0f;
constexpr float kAgcRiseMs = 4000.0f;
constexpr int kPeakHoldFrames = 30;
constexpr float kPeakGravity = 1.6f;
constexpr float kPeakSnap = 1.0e-4f;
constexpr float kPresenceHoldMs = 400.0f;
constexpr float kPresenceRiseMs = 120.0f;
constexpr float kPresenceFadeMs = 600.0f;

// Per-frame steps, formed in float exactly as the factors are: quotient first.
constexpr float kPresenceRiseStep = kFrameMs / kPresenceRiseMs;
constexpr float kPresenceFadeStep = kFrameMs / kPresenceFadeMs;
constexpr float kPeakSpeedStep = kPeakGravity * kFrameSec;

// Per-frame smoothing factors exp(-(kFrameMs / T)): the single-precision exponential of the float
// quotient, written out exactly so that they are constants from the first instruction on (code
// that reads them during its own static initialisation sees these values, never 0).
// tst_ballistics checks each against the core's exactExp (exactmath.h), which gives these bits on
// every C library.
constexpr float kAttackFactor = 0x1.06de9cp-1f; // exp(-0x1.555554p-1f) = 0.513417125
constexpr float kReleaseFactor = 0x1.d2b8ap-1f; // exp(-0x1.7b425ep-4f) = 0.911564827
constexpr float kAgcFallFactor = 0x1.e454ccp-1f; // exp(-0x1.c71c7p-5f) = 0.945959449
constexpr float kAgcRiseFactor = 0x1.fddfp-1f; // exp(-0x1.11111p-8f) = 0.99584198

class Ballistics {
public:
    Ballistics() = default;

    BANDCORE_API void reset();

    // Advances one display frame. Reads bandDb[0..n-1] with n = count clamped to 0..kMaxBands,
    // writes bars[0..n-1] and peaks[0..n-1]. Gain and presence move even when n is 0.
    BANDCORE_API void step(const float* bandDb, int count, float rmsDb, float* bars, float* peaks);

    float agcDb() const { return agcDb_; }
    float presence() const { return presence_; }

private:
    void followGain(const float* bandDb, int count, float rmsDb);
    void moveBarsAndPeaks(const float* target, int count, float* bars, float* peaks);
    void followPresence(float rmsDb);

    float bar_[kMaxBands] = {};
    float peak_[kMaxBands] = {};
    float peakVel_[kMaxBands] = {};
    std::int32_t hold_[kMaxBands] = {};
    float agcDb_ = 0.0f;
    float presence_ = 0.0f;
    std::int32_t silentFrames_ = 0;
};

} // namespace dsp

#endif
