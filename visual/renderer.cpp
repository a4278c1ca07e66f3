#include "visual/renderer.h"

#include "visual/strandmesh.h"

#include <QFile>
#include <QFloat16>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>

namespace visual {

namespace {

    // The copy down to the bloom image runs the bright pass with a threshold below any luma that
    // premultiplied, non-negative colour can have: its soft step is then exactly 1.
    constexpr float kCopyThreshold = -2.0f;
    constexpr float kCopyKnee = 0.0001f;

    const char* vertexShaderOf(PassKind kind)
    {
        return kind == PassKind::Strands ? "strands.vert" : "fullscreen.vert";
    }

    const char* fragmentShaderOf(PassKind kind)
    {
        switch (kind) {
        case PassKind::Strands:
            return "strands.frag";
        case PassKind::Bright:
        case PassKind::Copy:
            return "bright.frag";
        case PassKind::BlurHorizontal:
        case PassKind::BlurVertical:
            return "blur.frag";
        case PassKind::Rays:
            return "rays.frag";
        case PassKind::Composite:
            return "composite.frag";
        }
        return "";
    }

    QSize divided(QSize size, int divisor)
    {
        return QSize(std::max(1, (size.width() + divisor - 1) / divisor),
            std::max(1, (size.height() + divisor - 1) / divisor));
    }

    bool fail(QString* why, const QString& what)
    {
        *why = what;
        return false;
    }

    // The strand pass's vertices, and its additive light: the strands write premultiplied colour.
    void describeStrands(QRhiGraphicsPipeline* pipeline, QRhiVertexInputLayout* layout, int samples)
    {
        layout->setBindings({ QRhiVertexInputBinding(sizeof(StrandVertex)) });
        layout->setAttributes({
            { 0, 0, QRhiVertexInputAttribute::Float3, quint32(offsetof(StrandVertex, position)) },
            { 0, 1, QRhiVertexInputAttribute::Float3, quint32(offsetof(StrandVertex, previous)) },
            { 0, 2, QRhiVertexInputAttribute::Float3, quint32(offsetof(StrandVertex, next)) },
            { 0, 3, QRhiVertexInputAttribute::Float, quint32(offsetof(StrandVertex, direction)) },
        });
        pipeline->setTopology(QRhiGraphicsPipeline::TriangleStrip);
        QRhiGraphicsPipeline::TargetBlend blend;
        blend.enable = true;
        blend.srcColor = QRhiGraphicsPipeline::One;
        blend.dstColor = QRhiGraphicsPipeline::One;
        blend.srcAlpha = QRhiGraphicsPipeline::One;
        blend.dstAlpha = QRhiGraphicsPipeline::One;
        pipeline->setTargetBlends({ blend });
        pipeline->setSampleCount(samples);
    }

    // The final pass's premultiplied colour over the background it was cleared to.
    void blendOverBackground(QRhiGraphicsPipeline* pipeline)
    {
        QRhiGraphicsPipeline::TargetBlend blend;
        blend.enable = true;
        blend.srcColor = QRhiGraphicsPipeline::One;
        blend.dstColor = QRhiGraphicsPipeline::OneMinusSrcAlpha;
        blend.srcAlpha = QRhiGraphicsPipeline::One;
        blend.dstAlpha = QRhiGraphicsPipeline::OneMinusSrcAlpha;
        pipeline->setTargetBlends({ blend });
    }

} // namespace

int nearestSampleCount(const QList<int>& supported, int wanted)
{
    int best = 1;
    for (int count : supported)
        if (count >= 1
            && (std::abs(count - wanted) < std::abs(best - wanted)
                || (std::abs(count - wanted) == std::abs(best - wanted) && count < best)))
            best = count;
    return best;
}

QString sampleCountNote(int wanted, int used)
{
    if (wanted == used)
        return {};
    return QStringLiteral("the graphics back end has no %1x multisampling; drawing with %2x")
        .arg(wanted)
        .arg(used);
}

Renderer::Renderer(QRhi* rhi)
    : rhi_(rhi)
{
}

Renderer::~Renderer() = default;

bool Renderer::createShared(QString* why)
{
    if (mesh_)
        return true;
    for (const char* name : { "strands.vert", "strands.frag", "fullscreen.vert", "bright.frag",
             "blur.frag", "rays.frag", "composite.frag" }) {
        const QString path = QStringLiteral(":/shaders/%1.qsb").arg(QLatin1String(name));
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly))
            return fail(why, QStringLiteral("the shader pack lacks %1").arg(path));
        const QShader shader = QShader::fromSerialized(file.readAll());
        if (!shader.isValid())
            return fail(why, QStringLiteral("%1 is not a shader package").arg(path));
        shaders_[QLatin1String(name)] = shader;
    }
    if (!rhi_->isTextureFormatSupported(audioFormat_))
        audioFormat_ = QRhiTexture::R8;
    texels_.resize(
        qsizetype(kAudioTexels * (audioFormat_ == QRhiTexture::R16F ? sizeof(qfloat16) : 1)));

    const std::vector<StrandVertex> mesh = strandMesh();
    meshVertices_ = int(mesh.size());
    mesh_.reset(rhi_->newBuffer(
        QRhiBuffer::Immutable, QRhiBuffer::VertexBuffer, int(mesh.size() * sizeof(StrandVertex))));
    audio_.reset(rhi_->newTexture(audioFormat_, QSize(kAudioTexels, 1)));
    // Linear filtering everywhere: the blur's nine-texel span and the smooth audio row need it.
    sampler_.reset(rhi_->newSampler(QRhiSampler::Linear, QRhiSampler::Linear, QRhiSampler::None,
        QRhiSampler::ClampToEdge, QRhiSampler::ClampToEdge));
    // The composite reads the scene at its own size, where only the colour fringe falls between
    // texels: nearest sampling moves that fringe by whole pixels and halves the composite's cost
    // on a software rasteriser, whose bilinear filtering is its most expensive step.
    nearest_.reset(rhi_->newSampler(QRhiSampler::Nearest, QRhiSampler::Nearest, QRhiSampler::None,
        QRhiSampler::ClampToEdge, QRhiSampler::ClampToEdge));
    if (!mesh_->create() || !audio_->create() || !sampler_->create() || !nearest_->create()) {
        mesh_.reset();
        return fail(why, QStringLiteral("cannot create the strand mesh or the audio texture"));
    }
    meshUploaded_ = false;
    return true;
}

bool Renderer::setup(QSize size, QRhiRenderPassDescriptor* targetPass, bool targetRowZeroTop,
    int sampleCount, QString* why)
{
    stages_.clear();
    images_.clear();
    size_ = QSize();
    if (size.width() < 1 || size.height() < 1)
        return fail(why, QStringLiteral("empty picture size"));
    if (!createShared(why))
        return false;

    // The camera flips the strands where the target wants the bottom row first, so that the
    // chain itself never changes.
    camera_.flipY = !targetRowZeroTop;
    const ChainCheck check = checkChain(chain_, camera_.flipY, targetRowZeroTop);
    if (!check.ok)
        return fail(
            why, QStringLiteral("pass chain refused: %1").arg(QString::fromStdString(check.why)));

    sampleCount = nearestSampleCount(rhi_->supportedSampleCounts(), sampleCount);

    for (const ImageSpec& image : chain_.images) {
        images_.emplace_back(rhi_->newTexture(imageFormat_, divided(size, image.divisor), 1,
            QRhiTexture::RenderTarget | QRhiTexture::UsedAsTransferSource));
        if (!images_.back()->create())
            return fail(why,
                QStringLiteral("cannot create the %1 image")
                    .arg(QString::fromStdString(image.name)));
    }
    for (const Pass& pass : chain_.passes) {
        stages_.emplace_back();
        Stage& stage = stages_.back();
        stage.pass = pass;
        stage.size
            = pass.output < 0 ? size : divided(size, chain_.images[size_t(pass.output)].divisor);
        if (!createStage(stage, targetPass, sampleCount, why)) {
            stages_.clear();
            images_.clear();
            return false;
        }
    }
    size_ = size;
    sampleCount_ = sampleCount;
    return true;
}

QRhiRenderPassDescriptor* Renderer::createTarget(
    Stage& stage, QRhiRenderPassDescriptor* targetPass, int sampleCount, const char** what)
{
    const Pass& pass = stage.pass;
    if (pass.output < 0)
        return targetPass;
    QRhiTexture* image = images_[size_t(pass.output)].get();
    QRhiColorAttachment attachment(image);
    if (pass.kind == PassKind::Strands && sampleCount > 1) {
        stage.multisample.reset(rhi_->newRenderBuffer(
            QRhiRenderBuffer::Color, stage.size, sampleCount, {}, imageFormat_));
        if (!stage.multisample->create()) {
            *what = "multisample buffer";
            return nullptr;
        }
        attachment = QRhiColorAttachment(stage.multisample.get());
        attachment.setResolveTexture(image);
    }
    QRhiTextureRenderTargetDescription description(attachment);
    stage.target.reset(rhi_->newTextureRenderTarget(description));
    stage.renderPass.reset(stage.target->newCompatibleRenderPassDescriptor());
    stage.target->setRenderPassDescriptor(stage.renderPass.get());
    if (!stage.target->create()) {
        *what = "render target";
        return nullptr;
    }
    return stage.renderPass.get();
}

QList<QRhiShaderResourceBinding> Renderer::bindingsOf(const Stage& stage) const
{
    const Pass& pass = stage.pass;
    const bool strands = pass.kind == PassKind::Strands;
    const auto stages = strands ? QRhiShaderResourceBinding::VertexStage
                                : QRhiShaderResourceBinding::FragmentStage;
    QList<QRhiShaderResourceBinding> bindings;
    bindings.append(QRhiShaderResourceBinding::uniformBuffer(0, stages, stage.uniforms.get()));
    if (strands) {
        bindings.append(
            QRhiShaderResourceBinding::sampledTexture(1, stages, audio_.get(), sampler_.get()));
        return bindings;
    }
    for (size_t i = 0; i < pass.inputs.size(); ++i) {
        const bool scene = pass.kind == PassKind::Composite && i == 0;
        bindings.append(QRhiShaderResourceBinding::sampledTexture(int(i) + 1, stages,
            images_[size_t(pass.inputs[i])].get(), scene ? nearest_.get() : sampler_.get()));
    }
    return bindings;
}

bool Renderer::createStage(
    Stage& stage, QRhiRenderPassDescriptor* targetPass, int sampleCount, QString* why)
{
    const Pass& pass = stage.pass;
    const bool strands = pass.kind == PassKind::Strands;
    const QString name = QLatin1String(passName(pass.kind));
    auto stageFail = [&](const char* what) {
        return fail(why,
            QStringLiteral("cannot create the %1 of the %2 pass").arg(QLatin1String(what), name));
    };

    const int uniformSize = strands ? int(sizeof(StrandUniforms)) : int(sizeof(PostUniforms));
    stage.uniforms.reset(
        rhi_->newBuffer(QRhiBuffer::Dynamic, QRhiBuffer::UniformBuffer, uniformSize));
    if (!stage.uniforms->create())
        return stageFail("uniform buffer");

    const char* what = nullptr;
    QRhiRenderPassDescriptor* renderPass = createTarget(stage, targetPass, sampleCount, &what);
    if (!renderPass)
        return stageFail(what);

    const QList<QRhiShaderResourceBinding> bindings = bindingsOf(stage);
    stage.bindings.reset(rhi_->newShaderResourceBindings());
    stage.bindings->setBindings(bindings.cbegin(), bindings.cend());
    if (!stage.bindings->create())
        return stageFail("resource bindings");

    stage.pipeline.reset(rhi_->newGraphicsPipeline());
    stage.pipeline->setShaderStages({ { QRhiShaderStage::Vertex,
                                          shaders_.at(QLatin1String(vertexShaderOf(pass.kind))) },
        { QRhiShaderStage::Fragment, shaders_.at(QLatin1String(fragmentShaderOf(pass.kind))) } });
    QRhiVertexInputLayout layout;
    if (strands)
        describeStrands(stage.pipeline.get(), &layout, stage.multisample ? sampleCount : 1);
    if (pass.output < 0)
        blendOverBackground(stage.pipeline.get());
    stage.pipeline->setVertexInputLayout(layout);
    stage.pipeline->setShaderResourceBindings(stage.bindings.get());
    stage.pipeline->setRenderPassDescriptor(renderPass);
    if (!stage.pipeline->create())
        return stageFail("pipeline");
    return true;
}

void Renderer::fillUniforms(const Stage& stage, const Look& look, QRhiResourceUpdateBatch* updates)
{
    const Pass& pass = stage.pass;
    if (pass.kind == PassKind::Strands) {
        StrandUniforms u = look.strands;
        paintStrands(palette_, u);
        const float aspect = float(size_.width()) / float(size_.height());
        const std::array<float, 16> mvp = camera_.mvp(aspect);
        std::copy(mvp.begin(), mvp.end(), u.mvp);
        u.aspect = aspect;
        // The shader measures the ribbon's width against the picture's height; upright, the
        // shorter side is the width, and scaling by it keeps the ribbons the share of the shorter
        // side they have lying down, so a picture turned a quarter turn shows the figure turned.
        u.thickness *= std::min(aspect, 1.0f);
        updates->updateDynamicBuffer(stage.uniforms.get(), 0, sizeof(u), &u);
        return;
    }
    PostUniforms u = look.post;
    paintPost(palette_, u);
    const QSize input = images_[size_t(pass.inputs.front())]->pixelSize();
    u.texelSize[0] = 1.0f / float(input.width());
    u.texelSize[1] = 1.0f / float(input.height());
    u.direction = pass.kind == PassKind::BlurVertical ? 1.0f : 0.0f;
    if (pass.kind == PassKind::Copy) {
        u.threshold = kCopyThreshold;
        u.knee = kCopyKnee;
    }
    updates->updateDynamicBuffer(stage.uniforms.get(), 0, sizeof(u), &u);
}

void Renderer::record(QRhiCommandBuffer* cb, QRhiRenderTarget* target, const Look& look,
    QRhiResourceUpdateBatch* afterLast, int passLimit)
{
    if (stages_.empty())
        return;
    const int count
        = passLimit < 0 ? int(stages_.size()) : std::min(passLimit, int(stages_.size()));
    QRhiResourceUpdateBatch* updates = rhi_->nextResourceUpdateBatch();
    if (!meshUploaded_) {
        const std::vector<StrandVertex> mesh = strandMesh();
        updates->uploadStaticBuffer(mesh_.get(), mesh.data());
        meshUploaded_ = true;
    }
    // The upload shares texels_ rather than copying it, and QRhi lets go of it when the next
    // frame begins: rewriting it here then neither detaches nor allocates.
    char* texels = texels_.data();
    if (audioFormat_ == QRhiTexture::R16F) {
        std::array<qfloat16, kAudioTexels> half;
        for (int i = 0; i < kAudioTexels; ++i)
            half[size_t(i)] = qfloat16(look.audio[size_t(i)]);
        std::memcpy(texels, half.data(), sizeof(half));
    } else {
        for (int i = 0; i < kAudioTexels; ++i)
            texels[i] = char(quint8(look.audio[size_t(i)] * 255.0f + 0.5f));
    }
    updates->uploadTexture(audio_.get(),
        QRhiTextureUploadEntry(0, 0, QRhiTextureSubresourceUploadDescription(texels_)));
    for (int i = 0; i < count; ++i)
        fillUniforms(stages_[size_t(i)], look, updates);

    const QColor clear = QColor::fromRgbF(0, 0, 0, 0);
    const std::array<float, 4>& b = palette_.background;
    const QColor background = QColor::fromRgbF(b[0] * b[3], b[1] * b[3], b[2] * b[3], b[3]);
    for (int i = 0; i < count; ++i) {
        Stage& stage = stages_[size_t(i)];
        QRhiRenderTarget* rt = stage.target ? stage.target.get() : target;
        cb->beginPass(
            rt, stage.target ? clear : background, { 1.0f, 0 }, i == 0 ? updates : nullptr);
        cb->setGraphicsPipeline(stage.pipeline.get());
        cb->setViewport(QRhiViewport(0, 0, float(stage.size.width()), float(stage.size.height())));
        cb->setShaderResources();
        if (stage.pass.kind == PassKind::Strands) {
            const QRhiCommandBuffer::VertexInput input(mesh_.get(), 0);
            cb->setVertexInput(0, 1, &input);
            cb->draw(quint32(meshVertices_), quint32(kStrandCount));
        } else {
            cb->draw(3);
        }
        cb->endPass(i == count - 1 ? afterLast : nullptr);
    }
}

} // namespace visual
