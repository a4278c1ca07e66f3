// The pass chain and its orientation check.
//
// Every full-screen pass of the pack mirrors its image vertically in memory, on OpenGL and Vulkan
// alike: its vertex shader puts texture v = 1 at clip y = -1, which lands in memory row 0. The
// strand pass draws upright geometry, where clip y = -1 is also memory row 0. So an image's
// orientation is a parity: whether its memory row 0 holds the top of the picture. The composite
// reads three images at the same coordinates, so they must share one parity, and the final image
// must have the parity its target wants. checkChain() follows the parity through a chain and
// refuses one that breaks either rule, naming the pass and the images.
#ifndef VISUAL_PASSPLAN_H
#define VISUAL_PASSPLAN_H

#include <string>
#include <vector>

namespace visual {

enum class PassKind { Strands, Bright, BlurHorizontal, BlurVertical, Rays, Copy, Composite };

const char* passName(PassKind kind);

struct ImageSpec {
    std::string name;
    // Size of the image: the picture's size divided by this, rounded up.
    int divisor = 1;
};

struct Pass {
    PassKind kind;
    // Images read, in sampler binding order (1, 2, 3); the strand pass reads none.
    std::vector<int> inputs;
    // Image written; -1 is the final target.
    int output;
};

struct PassChain {
    std::vector<ImageSpec> images;
    std::vector<Pass> passes;
};

struct ChainCheck {
    bool ok = false;
    std::string why; // when refused
    // Per image: true when memory row 0 holds the top of the picture; the final target last.
    std::vector<bool> rowZeroTop;
};

// sceneRowZeroTop: the strand pass's orientation (true with a flipped camera). wantRowZeroTop:
// what the final target needs (true for a texture read back into an image, and for a swap chain
// whose framebuffer has y pointing down).
ChainCheck checkChain(const PassChain& chain, bool sceneRowZeroTop, bool wantRowZeroTop);

// The chain the renderer draws:
//   strands -> scene (full size)
//   scene -> bright (1/2) -> blur horizontal (1/4) -> blur vertical (1/4) = glow
//   glow -> rays (1/4); glow -> copy (1/4) = bloom
//   composite(scene, bloom, rays) -> target
// The scene, the bloom and the rays all lie an even number of passes from the strands.
PassChain standardChain();

} // namespace visual

#endif
