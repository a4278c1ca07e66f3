#include "dsp/ballistics.h"

#include "dsp/saturate.h"

#include <cmath>
#include <limits>
#include <type_traits>

namespace dsp {

static_assert(std::is_trivially_copyable_v<Ballistics>, "owners copy and zero-fill Ballistics");

namespace {

    constexpr float kInfinityDb = std::numeric_limits<float>::infinity();

    // A NaN level (a NaN band, or inf - inf after the gain) would stick in the bar and its peak for
    // good; it reads as the floor instead. Everything else clamps to 0..1 as usual.
    float clampLevel(float level)
    {
        if (std::isnan(level))
            return 0.0f;
        if (level > 1.0f)
            return 1.0f;
        if (level < 0.0f)
            return 0.0f;
        return level;
    }

} // namespace

void Ballistics::reset()
{
    *this = Ballistics();
}

void Ballistics::step(const float* bandDb, int count, float rmsDb, float* bars, float* peaks)
{
    const int n = count > kMaxBands ? kMaxBands : (count > 0 ? count : 0);
    followGain(bandDb, n, rmsDb);

    float level[kMaxBands] = {};
    float target[kMaxBands] = {};
    for (int k = 0; k < n; ++k)
        level[k] = clampLevel(((agcDb_ + bandDb[k]) - kFloorDb) / kRangeDb);
    for (int k = 0; k < n; ++k) {
        const int left = k > 0 ? k - 1 : 0;
        const int right = k + 1 < n ? k + 1 : n - 1;
        target[k] = (kNeighbourWeight * level[left] + kCentreWeight * level[k])
            + kNeighbourWeight * level[right];
    }

    moveBarsAndPeaks(target, n, bars, peaks);
    followPresence(rmsDb);
}

void Ballistics::followGain(const float* bandDb, int count, float rmsDb)
{
    // A NaN band never wins the comparison, so it never becomes the loudest. NaN and +inf levels
    // (from non-finite samples upstream) measure nothing; -inf is plain silence.
    float loudest = kLoudestStartDb;
    bool measured = rmsDb < kInfinityDb;
    for (int k = 0; k < count; ++k) {
        if (bandDb[k] > loudest)
            loudest = bandDb[k];
        if (!(bandDb[k] < kInfinityDb))
            measured = false;
    }

    // Strictly above the gate, and only on a measured frame: were the gain to chase corrupt
    // levels (all-NaN bands pull it towards +24 dB, an infinite band towards -6 dB), the music
    // after the corruption would be shown at the wrong height for seconds. A NaN RMS never
    // passes the gate.
    if (measured && rmsDb > kGateDb) {
        float desired = (kAgcTargetDb - loudest) * kAgcAmount;
        if (desired < kAgcMinDb)
            desired = kAgcMinDb;
        if (desired > kAgcMaxDb)
            desired = kAgcMaxDb;
        const float factor = agcDb_ > desired ? kAgcFallFactor : kAgcRiseFactor;
        agcDb_ = factor * (agcDb_ - desired) + desired;
    }
}

void Ballistics::moveBarsAndPeaks(const float* target, int count, float* bars, float* peaks)
{
    for (int k = 0; k < count; ++k) {
        const float factor = target[k] > bar_[k] ? kAttackFactor : kReleaseFactor;
        bar_[k] = (bar_[k] - target[k]) * factor + target[k];

        if (peak_[k] - kPeakSnap > bar_[k]) {
            if (hold_[k] > 0) {
                --hold_[k];
            } else {
                peakVel_[k] += kPeakSpeedStep;
                peak_[k] -= peakVel_[k] * kFrameSec;
            }
        }
        // Covers a bar rising through its peak and a falling peak landing on its bar.
        if (bar_[k] >= peak_[k] - kPeakSnap) {
            peak_[k] = bar_[k];
            peakVel_[k] = 0.0f;
            hold_[k] = kPeakHoldFrames;
        }

        bars[k] = bar_[k];
        peaks[k] = peak_[k];
    }
}

void Ballistics::followPresence(float rmsDb)
{
    if (rmsDb < kGateDb) {
        // Only whether the hold has passed matters, so the count saturates in endless silence.
        silentFrames_ = saturatingIncrement(silentFrames_);
        if (static_cast<float>(silentFrames_) * kFrameMs > kPresenceHoldMs) {
            const float faded = presence_ - kPresenceFadeStep;
            presence_ = faded > 0.0f ? faded : 0.0f;
        }
    } else {
        silentFrames_ = 0;
        const float risen = presence_ + kPresenceRiseStep;
        presence_ = risen < 1.0f ? risen : 1.0f;
    }
}

} // namespace dsp
