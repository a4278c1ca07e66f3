// Draws the whole visual with the shader pack through Qt's RHI into any render target: an
// off-screen texture or a window's swap chain.
//
// Contract:
// - The pack must be linked into the program (target shaderpack); its packages are loaded from
//   :/shaders unchanged.
// - setup() builds every image and pipeline for a picture size and a final render pass; call it
//   again after a resize. It refuses a pass chain whose orientation is wrong for the target
//   (passplan.h) and reports any resource that cannot be created, in one line.
// - record() records the chain into a command buffer inside a frame the caller began. Every pass
//   has its own uniform buffer; all uploads ride on the first pass. afterLast is handed to the
//   last recorded pass's end (a read-back, say). passLimit records only the first passes, for
//   timing them.
// - The look's ribbon thickness is a share of the picture's shorter side, so that a picture turned
//   a quarter turn draws the figure turned.
// - Intermediate images are RGBA8; the final target is the caller's. Everything is cleared to
//   (0, 0, 0, 0) but the final target, cleared to the palette's background premultiplied: the
//   composite writes premultiplied colour, blended over that clear (over (0, 0, 0, 0) it stays
//   as it is), and a clear whose rgb exceeded its alpha would turn black.
// - The palette (palette.h) paints the look's colours and glow at every record().
#ifndef VISUAL_RENDERER_H
#define VISUAL_RENDERER_H

#include "qtrhi/qtrhi.h"
#include "visual/camera.h"
#include "visual/look.h"
#include "visual/palette.h"
#include "visual/passplan.h"

#include <QByteArray>
#include <QSize>
#include <QString>

#include <map>
#include <memory>
#include <vector>

namespace visual {

// Multisampling of the strand pass for the programs: without it a steep ribbon two pixels wide
// breaks into dashes that shimmer as it turns.
constexpr int kDefaultSampleCount = 4;

// The count among those supported (1 is always) nearest to wanted; of two as near, the smaller.
int nearestSampleCount(const QList<int>& supported, int wanted);
// One line for the user where the count drawn with is not the one asked for; empty where it is.
QString sampleCountNote(int wanted, int used);

class Renderer {
public:
    explicit Renderer(QRhi* rhi);
    ~Renderer();
    Renderer(const Renderer&) = delete;
    Renderer& operator=(const Renderer&) = delete;

    // targetRowZeroTop: whether the final target's memory row 0 is the top of the picture (true
    // for textures read back into images; !rhi->isYUpInFramebuffer() for a swap chain).
    // sampleCount: multisampling of the strand pass, taken as nearestSampleCount() has it.
    bool setup(QSize size, QRhiRenderPassDescriptor* targetPass, bool targetRowZeroTop,
        int sampleCount, QString* why);

    void setLensShift(float deviceUnits) { camera_.lensShiftY = deviceUnits; }
    void setPalette(const Palette& palette) { palette_ = palette; }

    void record(QRhiCommandBuffer* cb, QRhiRenderTarget* target, const Look& look,
        QRhiResourceUpdateBatch* afterLast = nullptr, int passLimit = -1);

    const PassChain& chain() const { return chain_; }
    // An intermediate image of the chain (by index in chain().images), for reading it back.
    QRhiTexture* image(int index) const { return images_[size_t(index)].get(); }
    QSize size() const { return size_; }
    // The strand pass's samples since the last setup().
    int sampleCount() const { return sampleCount_; }

private:
    struct Stage {
        Pass pass;
        QSize size;
        std::unique_ptr<QRhiBuffer> uniforms;
        std::unique_ptr<QRhiRenderBuffer> multisample;
        std::unique_ptr<QRhiTextureRenderTarget> target; // null for the final pass
        std::unique_ptr<QRhiRenderPassDescriptor> renderPass;
        std::unique_ptr<QRhiShaderResourceBindings> bindings;
        std::unique_ptr<QRhiGraphicsPipeline> pipeline;
    };

    bool createShared(QString* why);
    // The render pass a stage draws into: the picture's own, or that of an image of its own
    // (through a multisample buffer for strands drawn with more than one sample); null where a part
    // could not be made, *what naming it.
    QRhiRenderPassDescriptor* createTarget(
        Stage& stage, QRhiRenderPassDescriptor* targetPass, int sampleCount, const char** what);
    QList<QRhiShaderResourceBinding> bindingsOf(const Stage& stage) const;
    bool createStage(
        Stage& stage, QRhiRenderPassDescriptor* targetPass, int sampleCount, QString* why);
    void fillUniforms(const Stage& stage, const Look& look, QRhiResourceUpdateBatch* updates);

    QRhi* rhi_;
    PassChain chain_ = standardChain();
    Camera camera_;
    Palette palette_;
    QSize size_;
    int sampleCount_ = 1;
    std::map<QString, QShader> shaders_; // by file name under :/shaders
    // 8-bit images: the composite samples nine times per pixel, and software rasterisers filter
    // 8-bit texels far faster than half floats (the composite's cost at 1280x720 on lavapipe fell
    // from about 35 to 26 ms of CPU). Light beyond 1 clips in the scene; the composite clips it
    // at the alpha anyway.
    QRhiTexture::Format imageFormat_ = QRhiTexture::RGBA8;
    QRhiTexture::Format audioFormat_ = QRhiTexture::R16F;
    QByteArray texels_; // the audio row in audioFormat_, rewritten every frame
    std::unique_ptr<QRhiBuffer> mesh_;
    int meshVertices_ = 0;
    bool meshUploaded_ = false;
    std::unique_ptr<QRhiTexture> audio_;
    std::unique_ptr<QRhiSampler> sampler_;
    std::unique_ptr<QRhiSampler> nearest_;
    std::vector<std::unique_ptr<QRhiTexture>> images_;
    std::vector<Stage> stages_;
};

} // namespace visual

#endif
