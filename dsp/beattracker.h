// Beats and tempo from the band levels of each display frame, beside the spectrum's frames.
//
// Contract:
// - step() takes one display frame's band levels in dB as the analyser measures them, before the
//   ballistics (SpectrumAnalyzer::bandLevelsDb()), and publishes a BeatFrame. One call is one
//   frame of 1/kFrameRateHz s, like Ballistics::step().
// - Onset strength: the mean rise of the bands' levels since the previous frame, in dB, levels
//   below kBeatFloorDb counting as that floor. An onset is a frame whose strength stands above the
//   recent strengths (kOnsetRatio times their mean plus kOnsetMinDb), at least kOnsetGapFrames
//   after the previous onset. A sound that starts inside a hop is flagged by the frame whose
//   window it first enters, or by the next one where it enters in the last samples of a hop, where
//   the window's weight is near zero.
// - Tempo: the strongest period in the recent onset strengths (an autocorrelation that forgets
//   with kTempoMemorySec), weighed over kTempoHarmonics multiples of each candidate period and a
//   preference for tempos near kTempoCentreBpm, between kMinBpm and kMaxBpm. The multiples rate a
//   period of three half beats about as high as the beat: the tempo of three halves of the one
//   chosen takes its place where it scores at least kThreeHalvesShare of it and its half period
//   correlates more, as music divides its beats in two far more often than in three (a 6/8 piece
//   may then read at three halves of its dotted-quarter tempo). Music with a strong
//   pulse at twice or half its tempo may be read at that octave: bpm is then double or half.
//   bpm is 0 while the confidence (the chosen period's correlation against the signal's own
//   energy, 0..1) stays below kMinTempoConfidence. The energy counts as at least that of a pulse
//   of kMinPulseDb, so that a faint periodic change (a sine's glide) reads as no tempo; bpm is 0
//   too once kTempoHoldSec have passed without a frame whose strength reaches kOnsetMinDb (the
//   music stopped, or holds still): dense music keeps its tempo between the onsets it flags.
// - Exact and deterministic: basic arithmetic only, compiled without contraction like the core.
// - Nothing allocates: a fixed-size value. One thread at a time.
#ifndef DSP_BEATTRACKER_H
#define DSP_BEATTRACKER_H

#include "dsp/ballistics.h"
#include "dsp/export.h"

#include <cstdint>

namespace dsp {

constexpr float kBeatFloorDb = -90.0f;
// Far above any level the band map gives (a full-scale sine reads about 0 dB plus its band's
// tilt): only bad input meets it.
constexpr float kBeatCeilingDb = 60.0f;
constexpr float kOnsetRatio = 1.0f;
constexpr float kOnsetMinDb = 2.0f;
constexpr int kOnsetGapFrames = 6;
// What one hit may add to the tempo's signal, so that a single loud hit cannot drown the rest.
constexpr float kTempoCapDb = 30.0f;
constexpr float kTempoMemorySec = 2.0f;
constexpr int kTempoHarmonics = 4;
constexpr double kThreeHalvesShare = 0.75;
constexpr float kTempoCentreBpm = 120.0f;
// The preference's width: its weight falls to exp(-1/2) one octave away from the centre.
constexpr float kTempoWidthOctaves = 1.5f;
constexpr int kMinBpm = 60;
constexpr int kMaxBpm = 200;
constexpr int kBpmStepsPerUnit = 2;
// Low enough for dense music (distorted guitars, double kicks), whose steady rises leave its pulse
// a small part of the signal's energy.
constexpr float kMinTempoConfidence = 0.05f;
constexpr float kMinPulseDb = 1.0f;
constexpr int kTempoHoldSec = 3;

struct BeatFrame {
    bool onset = false;
    // Mean rise of the bands' levels since the previous frame, dB.
    float strength = 0.0f;
    // Beats per minute; 0 while no tempo is known.
    float bpm = 0.0f;
    // 0..1.
    float confidence = 0.0f;
};

class BeatTracker {
public:
    BANDCORE_API BeatTracker();

    // Forgets everything heard; the tables stay.
    BANDCORE_API void reset();
    // Reads bandDb[0..count-1], count clamped to 0..kMaxBands; a change of count starts the rises
    // afresh. Levels are held to kBeatFloorDb..kBeatCeilingDb; NaN reads as the floor.
    BANDCORE_API const BeatFrame& step(const float* bandDb, int count);
    const BeatFrame& latest() const { return frame_; }

    static constexpr int kCandidates = (kMaxBpm - kMinBpm) * kBpmStepsPerUnit + 1;
    // The longest period looked at, a whole number of frames, and the history that holds it.
    static constexpr int kMaxLag = kFrameRateHz * 60 / kMinBpm * kTempoHarmonics;
    static constexpr int kHistory = 256;
    static_assert(kHistory > kMaxLag, "the history must hold the longest lag");
    static constexpr int kHoldFrames = kTempoHoldSec * kFrameRateHz;

private:
    float onsetStrength(const float* bandDb, int count);
    void detectOnset(float strength);
    void updateTempo(float strength);
    double candidateScore(int candidate) const;
    // The correlation at a lag between whole frames.
    double correlationAt(std::int32_t whole, double fraction) const;
    // best, or the candidate at three halves of its tempo (the contract); bestScore follows.
    int beatOfHalves(int best, double& bestScore) const;

    // Per candidate tempo and harmonic, and for its half period: the lag's whole frames and
    // fraction; per candidate the preference weight.
    std::int32_t lagWhole_[kCandidates][kTempoHarmonics] = {};
    float lagFraction_[kCandidates][kTempoHarmonics] = {};
    std::int32_t halfWhole_[kCandidates] = {};
    float halfFraction_[kCandidates] = {};
    float preference_[kCandidates] = {};

    BeatFrame frame_;
    float previous_[kMaxBands] = {};
    std::int32_t previousCount_ = 0;
    float strengthMean_ = 0.0f;
    // Frames since the last onset, and since the last strength of kOnsetMinDb, up to
    // kTempoHoldSec's.
    std::int32_t sinceOnset_ = kHoldFrames;
    std::int32_t sinceRise_ = kHoldFrames;
    float tempoMean_ = 0.0f;
    float history_[kHistory] = {};
    std::int32_t next_ = 0;
    double correlation_[kMaxLag + 2] = {};
};

} // namespace dsp

#endif
