#include "visual/palette.h"

namespace visual {

void paintStrands(const Palette& palette, StrandUniforms& strands)
{
    for (int c = 0; c < 3; ++c) {
        strands.colorA[c] = palette.start[size_t(c)];
        strands.colorB[c] = palette.end[size_t(c)];
    }
    // The pack's switch: above 0.5 the rainbow, its half extent in colorB's fourth component.
    strands.colorA[3] = palette.rainbow ? 1.0f : 0.0f;
    strands.colorB[3] = palette.rainbow ? kRainbowHalfExtent : 0.0f;
}

void paintPost(const Palette& palette, PostUniforms& post)
{
    post.intensity *= palette.glow;
}

} // namespace visual
