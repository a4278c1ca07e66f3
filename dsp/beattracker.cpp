#include "dsp/beattracker.h"

#include "dsp/exactmath.h"

namespace dsp {

namespace {

    // How fast the onset threshold's mean of recent strengths, and the tempo signal's own mean,
    // forget: a few beats for the threshold, a few bars for the mean.
    constexpr float kStrengthMemorySec = 0.5f;
    constexpr float kTempoMeanSec = 1.5f;
    constexpr float kSecondsPerMinute = 60.0f;

    float memoryFactor(float seconds)
    {
        return exactExp(-kFrameSec / seconds);
    }

    float held(float db)
    {
        // NaN fails the comparison and reads as the floor too.
        if (!(db > kBeatFloorDb))
            return kBeatFloorDb;
        return db < kBeatCeilingDb ? db : kBeatCeilingDb;
    }

} // namespace

BeatTracker::BeatTracker()
{
    for (int c = 0; c < kCandidates; ++c) {
        const float bpm = static_cast<float>(kMinBpm) + static_cast<float>(c) / kBpmStepsPerUnit;
        const float period = static_cast<float>(kFrameRateHz) * kSecondsPerMinute / bpm;
        for (int h = 0; h < kTempoHarmonics; ++h) {
            const float lag = period * static_cast<float>(h + 1);
            const auto whole = static_cast<std::int32_t>(lag);
            lagWhole_[c][h] = whole;
            lagFraction_[c][h] = lag - static_cast<float>(whole);
        }
        const float half = period * 0.5f;
        halfWhole_[c] = static_cast<std::int32_t>(half);
        halfFraction_[c] = half - static_cast<float>(halfWhole_[c]);
        const float octaves = exactLog2(bpm / kTempoCentreBpm) / kTempoWidthOctaves;
        preference_[c] = exactExp(-0.5f * octaves * octaves);
    }
    reset();
}

void BeatTracker::reset()
{
    frame_ = BeatFrame {};
    for (float& level : previous_)
        level = kBeatFloorDb;
    previousCount_ = 0;
    strengthMean_ = 0.0f;
    sinceOnset_ = kHoldFrames;
    sinceRise_ = kHoldFrames;
    tempoMean_ = 0.0f;
    for (float& value : history_)
        value = 0.0f;
    next_ = 0;
    for (double& value : correlation_)
        value = 0.0;
}

const BeatFrame& BeatTracker::step(const float* bandDb, int count)
{
    if (count < 0 || !bandDb)
        count = 0;
    if (count > kMaxBands)
        count = kMaxBands;
    const float strength = onsetStrength(bandDb, count);
    frame_.strength = strength;
    detectOnset(strength);
    updateTempo(strength);
    return frame_;
}

float BeatTracker::onsetStrength(const float* bandDb, int count)
{
    // The first frame of a band layout has nothing to rise from.
    const bool fresh = count != previousCount_;
    float rise = 0.0f;
    for (int b = 0; b < count; ++b) {
        const float level = held(bandDb[b]);
        const float up = level - previous_[b];
        if (!fresh && up > 0.0f)
            rise += up;
        previous_[b] = level;
    }
    previousCount_ = count;
    return count > 0 ? rise / static_cast<float>(count) : 0.0f;
}

void BeatTracker::detectOnset(float strength)
{
    const float threshold = kOnsetRatio * strengthMean_ + kOnsetMinDb;
    frame_.onset = sinceOnset_ >= kOnsetGapFrames && strength > threshold;
    sinceOnset_ = frame_.onset ? 0 : (sinceOnset_ < kHoldFrames ? sinceOnset_ + 1 : sinceOnset_);
    sinceRise_
        = strength >= kOnsetMinDb ? 0 : (sinceRise_ < kHoldFrames ? sinceRise_ + 1 : sinceRise_);
    const float keep = memoryFactor(kStrengthMemorySec);
    strengthMean_ = keep * strengthMean_ + (1.0f - keep) * strength;
}

void BeatTracker::updateTempo(float strength)
{
    // The signal: each frame's strength, capped, less its running mean, so that a steady level of
    // change correlates with nothing and only the pulse remains.
    const float capped = strength < kTempoCapDb ? strength : kTempoCapDb;
    const float keepMean = memoryFactor(kTempoMeanSec);
    tempoMean_ = keepMean * tempoMean_ + (1.0f - keepMean) * capped;
    const float x = capped - tempoMean_;
    history_[next_] = x;

    const double keep = memoryFactor(kTempoMemorySec);
    for (int lag = 0; lag <= kMaxLag + 1; ++lag) {
        const int at = (next_ - lag + kHistory) % kHistory;
        const double product = static_cast<double>(x) * history_[at];
        correlation_[lag] = keep * correlation_[lag] + product;
    }
    next_ = (next_ + 1) % kHistory;

    int best = 0;
    double bestScore = candidateScore(0);
    for (int c = 1; c < kCandidates; ++c) {
        const double score = candidateScore(c);
        if (score > bestScore) {
            best = c;
            bestScore = score;
        }
    }
    best = beatOfHalves(best, bestScore);
    // The correlation of a steady kMinPulseDb signal once it has filled the memory.
    const double floor = double(kMinPulseDb) * kMinPulseDb / (1.0 - keep);
    const double energy = correlation_[0] > floor ? correlation_[0] : floor;
    const double confidence = bestScore / preference_[best] / energy;
    frame_.confidence = confidence > 1.0 ? 1.0f : (confidence > 0.0 ? float(confidence) : 0.0f);
    if (frame_.confidence < kMinTempoConfidence || sinceRise_ >= kHoldFrames) {
        frame_.bpm = 0.0f;
        return;
    }
    // Between the grid's steps: the peak of the parabola through the best score and its
    // neighbours.
    double offset = 0.0;
    if (best > 0 && best + 1 < kCandidates) {
        const double below = candidateScore(best - 1);
        const double above = candidateScore(best + 1);
        const double curve = below - 2.0 * bestScore + above;
        if (curve < 0.0)
            offset = 0.5 * (below - above) / curve;
    }
    const double bpm = kMinBpm + (best + offset) / kBpmStepsPerUnit;
    frame_.bpm = static_cast<float>(bpm);
}

double BeatTracker::correlationAt(std::int32_t whole, double fraction) const
{
    return correlation_[whole] + fraction * (correlation_[whole + 1] - correlation_[whole]);
}

double BeatTracker::candidateScore(int candidate) const
{
    double sum = 0.0;
    for (int h = 0; h < kTempoHarmonics; ++h)
        sum += correlationAt(lagWhole_[candidate][h], lagFraction_[candidate][h]);
    return preference_[candidate] * sum / kTempoHarmonics;
}

int BeatTracker::beatOfHalves(int best, double& bestScore) const
{
    // The grid's index of 3/2 the tempo: (kMinBpm + best / steps) * 3/2, on the grid.
    const int threeHalves = (3 * best + kMinBpm * kBpmStepsPerUnit + 1) / 2;
    if (threeHalves >= kCandidates)
        return best;
    const double score = candidateScore(threeHalves);
    if (score < kThreeHalvesShare * bestScore
        || correlationAt(halfWhole_[threeHalves], halfFraction_[threeHalves])
            <= correlationAt(halfWhole_[best], halfFraction_[best]))
        return best;
    bestScore = score;
    return threeHalves;
}

} // namespace dsp
