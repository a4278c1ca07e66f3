#include "visual/look.h"

#include "visual/palette.h"

#include <algorithm>
#include <cmath>

namespace visual {

namespace {

    // Strand shape. Radius in model units (the strands span x = -1..1), thickness in device units
    // of the shorter side at clip w = 1 (the renderer scales it to the shader's vertical axis),
    // twists in turns per model unit.
    constexpr float kRadiusQuiet = 0.30f;
    constexpr float kRadiusEnergy = 0.22f;
    constexpr float kThicknessQuiet = 0.022f;
    constexpr float kThicknessEnergy = 0.02f;
    constexpr float kTwistsQuiet = 0.7f;
    constexpr float kTwistsTreble = 0.6f;
    // Opacity: dim while nothing plays, full once presence is up.
    constexpr float kOpacityAbsent = 0.3f;
    constexpr float kOpacityPresent = 0.7f;

    // Post-processing: luma threshold and knee of the bright pass; bloom gain; colour separation in
    // texture units at the corners; ray gain (the composite multiplies it by 8); ray span as a
    // fraction of the way to the centre; weight ratio between ray samples.
    constexpr float kThreshold = 0.12f;
    constexpr float kKnee = 0.25f;
    constexpr float kIntensityQuiet = 1.0f;
    constexpr float kIntensityBass = 1.6f;
    constexpr float kIntensityEnergy = 0.8f;
    constexpr float kDispersionQuiet = 0.01f;
    constexpr float kDispersionEnergy = 0.05f;
    constexpr float kRadialBlurQuiet = 0.012f;
    constexpr float kRadialBlurBass = 0.045f;
    constexpr float kRayLengthQuiet = 0.3f;
    constexpr float kRayLengthBass = 0.4f;
    constexpr float kRayDecay = 0.93f;

    float clamp01(float v)
    {
        // NaN fails both comparisons and reads as 0.
        return v > 0.0f ? std::min(v, 1.0f) : 0.0f;
    }

    int bandsOf(const dsp::SpectrumFrame& frame)
    {
        return std::clamp(int(frame.bandCount), 1, dsp::kMaxBands);
    }

    float meanBars(const dsp::SpectrumFrame& frame, int first, int count)
    {
        float sum = 0;
        for (int i = first; i < first + count; ++i)
            sum += clamp01(frame.bars[i]);
        return sum / float(count);
    }

} // namespace

Features featuresOf(const dsp::SpectrumFrame& frame)
{
    const int bands = bandsOf(frame);
    const int quarter = std::max(1, bands / 4);
    Features f;
    f.energy = meanBars(frame, 0, bands);
    f.bass = meanBars(frame, 0, quarter);
    f.treble = meanBars(frame, bands - quarter, quarter);
    f.presence = clamp01(frame.presence);
    return f;
}

Features featuresOf(const dsp::SpectrumFrame& left, const dsp::SpectrumFrame& right)
{
    const Features a = featuresOf(left);
    const Features b = featuresOf(right);
    Features f;
    f.energy = 0.5f * (a.energy + b.energy);
    f.bass = 0.5f * (a.bass + b.bass);
    f.treble = 0.5f * (a.treble + b.treble);
    f.presence = std::max(a.presence, b.presence);
    return f;
}

void fillAudioRow(const dsp::SpectrumFrame& frame, AudioRow& row, const dsp::SpectrumFrame* right)
{
    for (int i = 0; i < kAudioTexels; ++i) {
        // The texel's centre along the strand, 0..1, and its distance from the middle, 0..1.
        const float t = (float(i) + 0.5f) / float(kAudioTexels);
        const dsp::SpectrumFrame& side = right && t > 0.5f ? *right : frame;
        const int bands = bandsOf(side);
        const float fromMiddle = std::fabs(2.0f * t - 1.0f);
        const float band = std::min(fromMiddle / kTrebleReach, 1.0f) * float(bands - 1);
        const int below = std::min(int(band), bands - 1);
        const int above = std::min(below + 1, bands - 1);
        const float w = band - float(below);
        row[size_t(i)] = clamp01(side.bars[below]) * (1.0f - w) + clamp01(side.bars[above]) * w;
    }
}

Look lookOf(const dsp::SpectrumFrame& frame, float timeRad, const dsp::SpectrumFrame* right)
{
    const Features f = right ? featuresOf(frame, *right) : featuresOf(frame);
    Look look;
    fillAudioRow(frame, look.audio, right);

    StrandUniforms& s = look.strands;
    // The default palette's colours; the renderer paints the palette in force over them.
    paintStrands(Palette {}, s);
    s.time = timeRad;
    s.radius = kRadiusQuiet + kRadiusEnergy * f.energy;
    s.thickness = kThicknessQuiet + kThicknessEnergy * f.energy;
    s.twists = kTwistsQuiet + kTwistsTreble * f.treble;
    s.opacity = kOpacityAbsent + kOpacityPresent * f.presence;
    s.strandCount = float(kStrandCount);
    // The bars are already gain-controlled to 0..1.
    s.audioGain = 1.0f;

    PostUniforms& p = look.post;
    p.threshold = kThreshold;
    p.knee = kKnee;
    p.intensity = kIntensityQuiet + kIntensityBass * f.bass + kIntensityEnergy * f.energy;
    p.dispersion = kDispersionQuiet + kDispersionEnergy * f.energy;
    p.radialBlur = kRadialBlurQuiet + kRadialBlurBass * f.bass;
    p.rayLength = kRayLengthQuiet + kRayLengthBass * f.bass;
    p.rayDecay = kRayDecay;
    return look;
}

void applyPulse(Look& look, float pulse)
{
    const float p = clamp01(pulse);
    look.strands.audioGain += kPulseGain * p;
    look.post.intensity += kPulseIntensity * p;
}

void Animation::step(
    const dsp::SpectrumFrame& frame, const dsp::SpectrumFrame* right, const dsp::BeatFrame& beat)
{
    const float energy = (right ? featuresOf(frame, *right) : featuresOf(frame)).energy;
    const float speed = kBaseSpeedRadPerSec + kEnergySpeedRadPerSec * energy;
    time_ += speed * dsp::kFrameSec;
    if (time_ >= kClockWrapRad)
        time_ -= kClockWrapRad;
    look_ = lookOf(frame, time_, right);
    if (!pulseOn_)
        return;
    // Halves every kPulseHalfLifeSec.
    const float fade = std::exp2(-dsp::kFrameSec / kPulseHalfLifeSec);
    pulse_ = beat.onset ? 1.0f : pulse_ * fade;
    applyPulse(look_, pulse_);
}

} // namespace visual
