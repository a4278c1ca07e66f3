#include "visual/passplan.h"

namespace visual {

const char* passName(PassKind kind)
{
    switch (kind) {
    case PassKind::Strands:
        return "strands";
    case PassKind::Bright:
        return "bright";
    case PassKind::BlurHorizontal:
        return "blur-x";
    case PassKind::BlurVertical:
        return "blur-y";
    case PassKind::Rays:
        return "rays";
    case PassKind::Copy:
        return "copy";
    case PassKind::Composite:
        return "composite";
    }
    return "?";
}

namespace {

    const char* orientation(bool rowZeroTop)
    {
        return rowZeroTop ? "top row first" : "bottom row first";
    }

} // namespace

ChainCheck checkChain(const PassChain& chain, bool sceneRowZeroTop, bool wantRowZeroTop)
{
    const int images = int(chain.images.size());
    ChainCheck check;
    std::vector<int> written(size_t(images) + 1, 0); // the final target at the end
    check.rowZeroTop.assign(size_t(images) + 1, false);
    auto fail = [&](const std::string& why) {
        check.why = why;
        return check;
    };
    auto nameOf = [&](int image) {
        return image < 0 ? std::string("the target") : "'" + chain.images[size_t(image)].name + "'";
    };
    for (const Pass& pass : chain.passes) {
        const std::string name = passName(pass.kind);
        if (pass.output < -1 || pass.output >= images)
            return fail("pass " + name + " writes an image that does not exist");
        const size_t out = pass.output < 0 ? size_t(images) : size_t(pass.output);
        bool top = sceneRowZeroTop;
        if (pass.kind == PassKind::Strands) {
            if (!pass.inputs.empty())
                return fail("pass strands reads no image");
        } else {
            if (pass.inputs.empty())
                return fail("pass " + name + " reads no image");
            for (size_t i = 0; i < pass.inputs.size(); ++i) {
                const int in = pass.inputs[i];
                if (in < 0 || in >= images || !written[size_t(in)])
                    return fail("pass " + name + " reads "
                        + (in < 0 || in >= images ? std::string("a missing image") : nameOf(in))
                        + " before anything wrote it");
                const bool inTop = check.rowZeroTop[size_t(in)];
                const bool firstTop = check.rowZeroTop[size_t(pass.inputs[0])];
                if (inTop != firstTop)
                    return fail("pass " + name + " reads " + nameOf(pass.inputs[0]) + " ("
                        + orientation(firstTop) + ") and " + nameOf(in) + " (" + orientation(inTop)
                        + ") at the same coordinates: one of them is upside down");
            }
            // The full-screen pass mirrors what it reads.
            top = !check.rowZeroTop[size_t(pass.inputs[0])];
        }
        check.rowZeroTop[out] = top;
        written[out] = 1;
    }
    if (!written[size_t(images)])
        return fail("no pass writes the target");
    if (check.rowZeroTop[size_t(images)] != wantRowZeroTop)
        return fail(std::string("the target needs its ") + orientation(wantRowZeroTop)
            + " but the chain ends with the " + orientation(!wantRowZeroTop)
            + ": an odd number of passes lies between the strands and the target's inputs");
    check.ok = true;
    return check;
}

PassChain standardChain()
{
    enum { Scene, Bright, BlurX, Glow, RaysImage, Bloom };
    PassChain chain;
    // The horizontal blur reads the half-size bright image into a quarter-size one: its taps
    // span the wider texels across, and down the single bilinear read at each quarter texel's
    // centre falls between two rows and averages them. Everything after it runs at a quarter.
    chain.images = { { "scene", 1 }, { "bright", 2 }, { "blur-x", 4 }, { "glow", 4 }, { "rays", 4 },
        { "bloom", 4 } };
    chain.passes = {
        { PassKind::Strands, {}, Scene },
        { PassKind::Bright, { Scene }, Bright },
        { PassKind::BlurHorizontal, { Bright }, BlurX },
        { PassKind::BlurVertical, { BlurX }, Glow },
        // Rays from the blurred image: from the sharp one they show two dozen stepped echoes.
        { PassKind::Rays, { Glow }, RaysImage },
        // The glow is three passes from the strands; one more turns it the strands' way up.
        { PassKind::Copy, { Glow }, Bloom },
        { PassKind::Composite, { Scene, Bloom, RaysImage }, -1 },
    };
    return chain;
}

} // namespace visual
