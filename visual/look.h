// From the analysis to the picture: what one SpectrumFrame sets in the audio texture row and in
// the uniform blocks, and the animation clock.
//
// Contract:
// - The audio row holds kAudioTexels levels 0..1 along the strand: the bars mirrored, the lowest
//   band in the middle and the highest towards both ends (reached at kTrebleReach of the way out),
//   linearly interpolated between band centres. Out-of-range bars are clamped to 0..1, NaN reads 0.
//   With two sides (a stereo layout) the first half of the strand follows the left side's bars and
//   the second half the right side's, and the features are the two sides' means (presence: the
//   more present side).
// - lookOf() is a pure function of the frame and the clock value.
// - With the beat pulse on, each onset lifts the strands' audio gain and the glow's intensity by
//   kPulseGain and kPulseIntensity, fading by half every kPulseHalfLifeSec of audio; off (the
//   default) the beat changes nothing, to the bit.
// - Animation::step() is called once per analysis hop (1/60 s of audio, whatever the picture rate)
//   and advances the clock by an amount that depends only on the frame: rendering the same audio
//   twice gives the same clock, frame for frame. The wall clock is never read.
#ifndef VISUAL_LOOK_H
#define VISUAL_LOOK_H

#include "dsp/beattracker.h"
#include "dsp/spectrumanalyzer.h"
#include "visual/uniforms.h"

#include <array>

namespace visual {

constexpr int kAudioTexels = 128;
// Fraction of the way from the middle to an end at which the highest band is reached; the rest
// holds it, inside the shader's end taper.
constexpr float kTrebleReach = 0.85f;
constexpr int kStrandCount = 12;

// Clock speed in radians per second of audio: kBaseSpeedRadPerSec in silence, plus
// kEnergySpeedRadPerSec times the mean bar height.
constexpr float kBaseSpeedRadPerSec = 0.6f;
constexpr float kEnergySpeedRadPerSec = 2.4f;
// The clock wraps here to keep float precision in the noise over long runs: a multiple of 2 pi
// would still jump the noise fields, so it is large enough (about 2.9 h at top speed) never to
// be met in practice.
constexpr float kClockWrapRad = 31415.926f;

constexpr float kPulseGain = 0.6f;
constexpr float kPulseIntensity = 0.5f;
constexpr float kPulseHalfLifeSec = 0.08f;

using AudioRow = std::array<float, kAudioTexels>;

// The music as the mapping reads it, each 0..1.
struct Features {
    float energy = 0; // mean bar height
    float bass = 0; // mean of the lowest quarter of the bands
    float treble = 0; // mean of the highest quarter
    float presence = 0;
};

struct Look {
    AudioRow audio {};
    StrandUniforms strands; // mvp and aspect left to the renderer
    PostUniforms post; // texelSize and direction left to the renderer
};

Features featuresOf(const dsp::SpectrumFrame& frame);
Features featuresOf(const dsp::SpectrumFrame& left, const dsp::SpectrumFrame& right);
// right, where not null, is the right side's frame and frame the left side's.
void fillAudioRow(
    const dsp::SpectrumFrame& frame, AudioRow& row, const dsp::SpectrumFrame* right = nullptr);
Look lookOf(
    const dsp::SpectrumFrame& frame, float timeRad, const dsp::SpectrumFrame* right = nullptr);
// A beat pulse of 0..1 on a look.
void applyPulse(Look& look, float pulse);

class Animation {
public:
    // One analysis hop: advance the clock by the frame's speed, then take its look (right as in
    // lookOf()), pulsed by the beat when the pulse is on.
    void step(const dsp::SpectrumFrame& frame, const dsp::SpectrumFrame* right = nullptr,
        const dsp::BeatFrame& beat = {});
    void setBeatPulse(bool on) { pulseOn_ = on; }
    float pulse() const { return pulse_; }
    float time() const { return time_; }
    const Look& look() const { return look_; }

private:
    float time_ = 0;
    bool pulseOn_ = false;
    float pulse_ = 0;
    Look look_ = lookOf(dsp::SpectrumFrame {}, 0.0f);
};

} // namespace visual

#endif
