// The two uniform blocks of the shader pack, byte for byte (std140), and what the music sets in
// them. The renderer fills the geometry fields (mvp, aspect, texelSize, direction) per pass; a Look
// carries everything else.
#ifndef VISUAL_UNIFORMS_H
#define VISUAL_UNIFORMS_H

#include <cstddef>

namespace visual {

// The strand block: 128 bytes, mvp column-major.
struct StrandUniforms {
    float mvp[16] = { 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1, 0, 0, 0, 0, 1 };
    float colorA[4] = { 0, 0, 0, 0 };
    float colorB[4] = { 0, 0, 0, 0 };
    float aspect = 1;
    float time = 0;
    float radius = 0;
    float thickness = 0;
    float twists = 0;
    float opacity = 0;
    float strandCount = 0;
    float audioGain = 0;
};

// The post-processing block shared by the four full-screen passes: 40 bytes.
struct PostUniforms {
    float texelSize[2] = { 0, 0 };
    float threshold = 0;
    float knee = 0;
    float intensity = 0;
    float direction = 0;
    float dispersion = 0;
    float radialBlur = 0;
    float rayLength = 0;
    float rayDecay = 0;
};

static_assert(sizeof(StrandUniforms) == 128, "the strand block is 128 bytes in std140");
static_assert(offsetof(StrandUniforms, colorA) == 64 && offsetof(StrandUniforms, aspect) == 96
        && offsetof(StrandUniforms, audioGain) == 124,
    "strand block offsets");
static_assert(sizeof(PostUniforms) == 40, "the post-processing block is 40 bytes in std140");
static_assert(offsetof(PostUniforms, threshold) == 8 && offsetof(PostUniforms, rayDecay) == 36,
    "post-processing block offsets");

} // namespace visual

#endif
