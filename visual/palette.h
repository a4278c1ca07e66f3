// The colours of the visual, which a theme chooses: the strands' two colours or the depth
// rainbow, the background behind them and the glow's strength. They reach the picture through
// the shader pack's uniforms and the final pass's clear colour alone.
//
// Contract:
// - A default Palette draws exactly what the visual drew before palettes: the warm to cool
//   gradient, a clear to (0, 0, 0, 0) and the glow as the look sets it.
// - The background is straight colour with its opacity; the final pass blends the composite's
//   premultiplied colour over it, so that an opaque background shows wherever the light is thin.
#ifndef VISUAL_PALETTE_H
#define VISUAL_PALETTE_H

#include "visual/uniforms.h"

#include <array>

namespace visual {

// Warm at the strands' start (x = -1), cool at their end.
constexpr std::array<float, 3> kWarmColour = { 1.0f, 0.42f, 0.12f };
constexpr std::array<float, 3> kCoolColour = { 0.16f, 0.52f, 1.0f };
// The depth rainbow's half extent in device depth: the figure lies at depths of about 0.93 to
// 0.97, so 0.5 spreads the pack's rainbow over the whole depth range (t = depth), the figure
// taking its violet to magenta end.
constexpr float kRainbowHalfExtent = 0.5f;

struct Palette {
    std::array<float, 3> start = kWarmColour;
    std::array<float, 3> end = kCoolColour;
    bool rainbow = false; // colour by depth instead of from start to end
    std::array<float, 4> background = { 0.0f, 0.0f, 0.0f, 0.0f };
    float glow = 1.0f; // times the bloom's gain the look sets
};

// Sets the strand block's colours and mode.
void paintStrands(const Palette& palette, StrandUniforms& strands);
// Scales the post-processing block's bloom gain by the glow.
void paintPost(const Palette& palette, PostUniforms& post);

} // namespace visual

#endif
