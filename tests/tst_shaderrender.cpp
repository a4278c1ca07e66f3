// Renders every shader of the pack off-screen through Qt's RHI on a software back end and compares
// the float pixels read back with the CPU model in shadermodel.h. A pack that compiles can still
// draw a wrong picture: a swapped axis, a lost half-texel or a wrong constant show up only here.
//
// One back end per run, chosen with "-backend vulkan" (lavapipe, the SPIR-V variants) or
// "-backend gles" (llvmpipe through EGL surfaceless, the GLSL ES 3.00 variants). Where the back
// end cannot start, every case skips with the reason; with CI=true that is a failure instead.

#include "qtrhi/qtrhi.h"
#include "rendermain.h"
#include "shadermodel.h"

#include <QFile>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <map>
#include <memory>
#include <random>

Q_DECLARE_METATYPE(shadermodel::Vec4)

using namespace shadermodel;

namespace {

// Tolerances. Every value a shader computes passes through single-precision arithmetic in an order
// the driver's compiler chooses (fused multiply-adds, a reciprocal for a division), so it agrees
// with the model to a few float ulps of its largest intermediate. Each bound below is five to ten
// times the largest deviation seen on lavapipe and llvmpipe, and far below what a wrong constant,
// axis or offset changes (1e-3 or more in every case here).

// Interpolated vUv, values up to 1: rasteriser rounding, seen up to 9e-8.
constexpr float kUvTolerance = 1e-6f;
// Linearly filtered reads of values up to 1: both rasterisers blend 32-bit float texels with float
// weights, so only rounding remains, summed over at most 24 taps; seen up to 1.8e-6.
constexpr float kFilteredTolerance = 1e-5f;
// Strand clip positions and colours of order 1, through sin, cos, normalize and three simplex
// noise terms whose gradients reach about 10: seen up to 2.3e-6.
constexpr float kStrandTolerance = 2e-5f;

// The probe draws vertex i of instance k as the pixel in column i, row k.
constexpr int kProbeColumns = PROBE_COLUMNS;
constexpr int kProbeRows = PROBE_ROWS;

static_assert(sizeof(StrandVertex) == 10 * sizeof(float), "strand vertex layout");

// What a target holds where nothing was drawn (QColor keeps alpha within 0..1).
const Vec4 kSentinel { -1.0f, -1.0f, -1.0f, 0.25f };

QShader loadShader(const QString& path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return {};
    return QShader::fromSerialized(f.readAll());
}

// One draw into float render targets: what the harness needs to know to build the pipeline.
struct Draw {
    QShader vertex;
    QShader fragment;
    QByteArray uniforms; // binding 0, when not empty
    QRhiShaderResourceBinding::StageFlags resourceStages = QRhiShaderResourceBinding::FragmentStage;
    std::vector<std::pair<const Image*, Filter>> textures; // bindings 1, 2, ...
    std::vector<StrandVertex> vertices; // none: the full-screen triangle
    QRhiGraphicsPipeline::Topology topology = QRhiGraphicsPipeline::Triangles;
    int vertexCount = 3;
    int instanceCount = 1;
    int width = 1;
    int height = 1;
    int targets = 1;
};

class Renderer {
public:
    bool start(visual::Backend backend, QString* why)
    {
        if (!host_.start(backend, why))
            return false;
        if (!rhi()->isTextureFormatSupported(QRhiTexture::RGBA32F)) {
            *why = QStringLiteral("RGBA32F textures are not supported by %1")
                       .arg(QLatin1String(rhi()->driverInfo().deviceName));
            return false;
        }
        return true;
    }

    QRhi* rhi() const { return host_.rhi(); }

    // Runs one draw, reading every target back into `out`; the targets start as kSentinel.
    bool render(const Draw& d, std::vector<Image>* out, QString* why)
    {
        // Every resource first, so that a failure leaves no update batch taken.
        DrawResources r;
        if (!createTargets(d, &r, why) || !createBindings(d, &r, why)
            || !createPipeline(d, &r, why))
            return false;
        std::vector<QRhiReadbackResult> results(size_t(d.targets));
        if (!draw(d, r, &results, why))
            return false;
        out->clear();
        for (const QRhiReadbackResult& result : results) {
            const qsizetype expected = qsizetype(d.width) * d.height * qsizetype(sizeof(Vec4));
            if (result.data.size() != expected) {
                *why = QStringLiteral("read back %1 bytes, expected %2")
                           .arg(result.data.size())
                           .arg(expected);
                return false;
            }
            Image image(d.width, d.height);
            std::memcpy(image.texels.data(), result.data.constData(), size_t(expected));
            out->push_back(std::move(image));
        }
        return true;
    }

private:
    using TexturePtr = std::unique_ptr<QRhiTexture>;

    // Everything one draw creates, released in reverse order when the draw is done.
    struct DrawResources {
        std::vector<TexturePtr> targets;
        std::unique_ptr<QRhiTextureRenderTarget> rt;
        std::unique_ptr<QRhiRenderPassDescriptor> rp;
        std::unique_ptr<QRhiBuffer> ubuf;
        std::vector<TexturePtr> textures;
        std::vector<std::unique_ptr<QRhiSampler>> samplers;
        std::unique_ptr<QRhiBuffer> vbuf;
        std::unique_ptr<QRhiShaderResourceBindings> srb;
        std::unique_ptr<QRhiGraphicsPipeline> pipeline;
    };

    bool createTargets(const Draw& d, DrawResources* r, QString* why)
    {
        QRhi* rhi = host_.rhi();
        QList<QRhiColorAttachment> attachments;
        for (int i = 0; i < d.targets; ++i) {
            r->targets.emplace_back(rhi->newTexture(QRhiTexture::RGBA32F, QSize(d.width, d.height),
                1, QRhiTexture::RenderTarget | QRhiTexture::UsedAsTransferSource));
            if (!r->targets.back()->create())
                return fail(why, "render target texture");
            attachments.append(QRhiColorAttachment(r->targets.back().get()));
        }
        QRhiTextureRenderTargetDescription description;
        description.setColorAttachments(attachments.cbegin(), attachments.cend());
        r->rt.reset(rhi->newTextureRenderTarget(description));
        r->rp.reset(r->rt->newCompatibleRenderPassDescriptor());
        r->rt->setRenderPassDescriptor(r->rp.get());
        if (!r->rt->create())
            return fail(why, "render target");
        return true;
    }

    // The uniform buffer at binding 0, the textures from binding 1 on, and the vertex buffer.
    bool createBindings(const Draw& d, DrawResources* r, QString* why)
    {
        QRhi* rhi = host_.rhi();
        QList<QRhiShaderResourceBinding> bindings;
        if (!d.uniforms.isEmpty()) {
            r->ubuf.reset(rhi->newBuffer(
                QRhiBuffer::Dynamic, QRhiBuffer::UniformBuffer, int(d.uniforms.size())));
            if (!r->ubuf->create())
                return fail(why, "uniform buffer");
            bindings.append(
                QRhiShaderResourceBinding::uniformBuffer(0, d.resourceStages, r->ubuf.get()));
        }
        for (size_t i = 0; i < d.textures.size(); ++i) {
            const Image& image = *d.textures[i].first;
            const QRhiSampler::Filter filter = d.textures[i].second == Filter::Linear
                ? QRhiSampler::Linear
                : QRhiSampler::Nearest;
            r->textures.emplace_back(
                rhi->newTexture(QRhiTexture::RGBA32F, QSize(image.width, image.height)));
            if (!r->textures.back()->create())
                return fail(why, "source texture");
            r->samplers.emplace_back(rhi->newSampler(filter, filter, QRhiSampler::None,
                QRhiSampler::ClampToEdge, QRhiSampler::ClampToEdge));
            if (!r->samplers.back()->create())
                return fail(why, "sampler");
            bindings.append(QRhiShaderResourceBinding::sampledTexture(
                int(i) + 1, d.resourceStages, r->textures.back().get(), r->samplers.back().get()));
        }
        if (!d.vertices.empty()) {
            const int size = int(d.vertices.size() * sizeof(StrandVertex));
            r->vbuf.reset(rhi->newBuffer(QRhiBuffer::Immutable, QRhiBuffer::VertexBuffer, size));
            if (!r->vbuf->create())
                return fail(why, "vertex buffer");
        }
        r->srb.reset(rhi->newShaderResourceBindings());
        r->srb->setBindings(bindings.cbegin(), bindings.cend());
        if (!r->srb->create())
            return fail(why, "shader resource bindings");
        return true;
    }

    bool createPipeline(const Draw& d, DrawResources* r, QString* why)
    {
        r->pipeline.reset(host_.rhi()->newGraphicsPipeline());
        QRhiGraphicsPipeline* pipeline = r->pipeline.get();
        pipeline->setShaderStages(
            { { QRhiShaderStage::Vertex, d.vertex }, { QRhiShaderStage::Fragment, d.fragment } });
        QRhiVertexInputLayout layout;
        if (!d.vertices.empty()) {
            layout.setBindings({ QRhiVertexInputBinding(sizeof(StrandVertex)) });
            layout.setAttributes({
                { 0, 0, QRhiVertexInputAttribute::Float3, offsetof(StrandVertex, position) },
                { 0, 1, QRhiVertexInputAttribute::Float3, offsetof(StrandVertex, previous) },
                { 0, 2, QRhiVertexInputAttribute::Float3, offsetof(StrandVertex, next) },
                { 0, 3, QRhiVertexInputAttribute::Float, offsetof(StrandVertex, direction) },
            });
        }
        pipeline->setVertexInputLayout(layout);
        pipeline->setTopology(d.topology);
        QList<QRhiGraphicsPipeline::TargetBlend> blends(d.targets);
        pipeline->setTargetBlends(blends.cbegin(), blends.cend());
        pipeline->setShaderResourceBindings(r->srb.get());
        pipeline->setRenderPassDescriptor(r->rp.get());
        if (!pipeline->create())
            return fail(why, "graphics pipeline (shader compile or link)");
        return true;
    }

    // Uploads the draw's data, draws once over the sentinel and reads every target back.
    bool draw(const Draw& d, const DrawResources& r, std::vector<QRhiReadbackResult>* results,
        QString* why)
    {
        QRhi* rhi = host_.rhi();
        QRhiCommandBuffer* cb = nullptr;
        if (rhi->beginOffscreenFrame(&cb) != QRhi::FrameOpSuccess)
            return fail(why, "offscreen frame");
        QRhiResourceUpdateBatch* updates = rhi->nextResourceUpdateBatch();
        if (r.ubuf)
            updates->updateDynamicBuffer(
                r.ubuf.get(), 0, int(d.uniforms.size()), d.uniforms.constData());
        for (size_t i = 0; i < d.textures.size(); ++i) {
            const Image& image = *d.textures[i].first;
            const QByteArray bytes(reinterpret_cast<const char*>(image.texels.data()),
                qsizetype(image.texels.size() * sizeof(Vec4)));
            updates->uploadTexture(r.textures[i].get(),
                QRhiTextureUploadEntry(0, 0, QRhiTextureSubresourceUploadDescription(bytes)));
        }
        if (r.vbuf)
            updates->uploadStaticBuffer(r.vbuf.get(), d.vertices.data());
        const QColor clear = QColor::fromRgbF(kSentinel.x, kSentinel.y, kSentinel.z, kSentinel.w);
        cb->beginPass(r.rt.get(), clear, { 1.0f, 0 }, updates);
        cb->setGraphicsPipeline(r.pipeline.get());
        cb->setViewport(QRhiViewport(0, 0, float(d.width), float(d.height)));
        cb->setShaderResources();
        if (r.vbuf) {
            const QRhiCommandBuffer::VertexInput input(r.vbuf.get(), 0);
            cb->setVertexInput(0, 1, &input);
        }
        cb->draw(quint32(d.vertexCount), quint32(d.instanceCount));
        QRhiResourceUpdateBatch* readbacks = rhi->nextResourceUpdateBatch();
        for (int i = 0; i < d.targets; ++i)
            readbacks->readBackTexture(
                QRhiReadbackDescription(r.targets[size_t(i)].get()), &(*results)[size_t(i)]);
        cb->endPass(readbacks);
        if (rhi->endOffscreenFrame() != QRhi::FrameOpSuccess)
            return fail(why, "offscreen frame end");
        return true;
    }

    static bool fail(QString* why, const char* what)
    {
        *why = QStringLiteral("could not create the %1").arg(QLatin1String(what));
        return false;
    }

    visual::HeadlessRhi host_;
};

template <class T> QByteArray bytesOf(const T& block)
{
    return QByteArray(reinterpret_cast<const char*>(&block), qsizetype(sizeof(T)));
}

// Deterministic test images with every channel in 0..1.
Image noiseImage(int w, int h, unsigned seed)
{
    std::mt19937 rng(seed);
    Image image(w, h);
    for (Vec4& t : image.texels) {
        auto next = [&] { return float(rng() % 100000u) / 99999.0f; };
        t = { next(), next(), next(), next() };
    }
    return image;
}

template <class F> Image modelPass(int w, int h, F f)
{
    Image image(w, h);
    for (int row = 0; row < h; ++row)
        for (int column = 0; column < w; ++column)
            image.at(column, row) = f(fullscreenUv(column, row, w, h));
    return image;
}

float channel(const Vec4& v, int c)
{
    return c == 0 ? v.x : c == 1 ? v.y : c == 2 ? v.z : v.w;
}

QString show(const Vec4& v)
{
    return QStringLiteral("(%1, %2, %3, %4)")
        .arg(double(v.x), 0, 'g', 8)
        .arg(double(v.y), 0, 'g', 8)
        .arg(double(v.z), 0, 'g', 8)
        .arg(double(v.w), 0, 'g', 8);
}

// Largest deviation from the model per shader, printed at the end of the run.
std::map<QString, double>& deviations()
{
    static std::map<QString, double> table;
    return table;
}

void noteDeviation(const QString& shader, double deviation)
{
    double& largest = deviations()[shader];
    largest = std::max(largest, deviation);
}

// Largest channel difference; a NaN anywhere counts as infinitely far off.
float deviation(const Vec4& a, const Vec4& b)
{
    float d = 0;
    for (int c = 0; c < 4; ++c) {
        const float e = std::fabs(channel(a, c) - channel(b, c));
        if (std::isnan(e))
            return INFINITY;
        d = std::max(d, e);
    }
    return d;
}

// Compares two images pixel by pixel; names the first pixel out of tolerance.
bool sameImage(const QString& shader, const Image& got, const Image& want, float tolerance,
    QByteArray* message)
{
    if (got.width != want.width || got.height != want.height) {
        *message = "image sizes differ";
        return false;
    }
    float largest = 0;
    for (int row = 0; row < got.height; ++row) {
        for (int column = 0; column < got.width; ++column) {
            const float d = deviation(got.at(column, row), want.at(column, row));
            largest = std::max(largest, d);
            if (!(d <= tolerance)) {
                *message = QStringLiteral("pixel (%1, %2): got %3, expected %4, deviation %5 > %6")
                               .arg(column)
                               .arg(row)
                               .arg(show(got.at(column, row)), show(want.at(column, row)))
                               .arg(double(d), 0, 'g', 3)
                               .arg(double(tolerance), 0, 'g', 3)
                               .toLocal8Bit();
                return false;
            }
        }
    }
    noteDeviation(shader, double(largest));
    return true;
}

// A straight or bent centre line: every point once per ribbon side in `directions`, with its
// neighbours as the mesh gives them (the ends repeat their own point).
std::vector<StrandVertex> strandLine(
    const std::vector<Vec3>& points, const std::vector<float>& directions)
{
    std::vector<StrandVertex> vertices;
    const size_t n = points.size();
    for (size_t i = 0; i < n; ++i) {
        for (float direction : directions) {
            StrandVertex v;
            v.position = points[i];
            v.previous = points[i == 0 ? 0 : i - 1];
            v.next = points[i + 1 == n ? i : i + 1];
            v.direction = direction;
            vertices.push_back(v);
        }
    }
    return vertices;
}

std::vector<Vec3> alongX(const std::vector<float>& xs)
{
    std::vector<Vec3> points;
    for (float x : xs)
        points.push_back({ x, 0.0f, 0.0f });
    return points;
}

// The blur's source: one lit texel at (kImpulseX, kImpulseY) of a kImpulseWidth x kImpulseHeight
// image, so that each tap shows where it lands.
constexpr int kImpulseWidth = 17;
constexpr int kImpulseHeight = 9;
constexpr int kImpulseX = 8;
constexpr int kImpulseY = 4;

Image impulse(Vec4 value)
{
    Image image(kImpulseWidth, kImpulseHeight);
    image.at(kImpulseX, kImpulseY) = value;
    return image;
}

// The blur's block for a pass over `source`: a step of one of its texels, along x where
// direction is below 0.5, else along y.
PostUniforms blurAlong(float direction, const Image& source)
{
    PostUniforms u;
    u.texelSize[0] = 1.0f / float(source.width);
    u.texelSize[1] = 1.0f / float(source.height);
    u.direction = direction;
    return u;
}

void setColour(float (&colour)[4], Vec4 c)
{
    colour[0] = c.x;
    colour[1] = c.y;
    colour[2] = c.z;
    colour[3] = c.w;
}

// A projection with perspective: w depends on the point, so screen positions need the divide.
StrandUniforms perspectiveBlock()
{
    StrandUniforms u;
    const float mvp[16] = { 0.9f, 0.1f, 0.05f, 0.02f, -0.1f, 1.1f, 0.08f, 0.03f, 0.05f, -0.2f, 0.3f,
        0.1f, 0.02f, -0.05f, 0.6f, 1.2f };
    std::copy(std::begin(mvp), std::end(mvp), std::begin(u.mvp));
    setColour(u.colorA, { 0.9f, 0.3f, 0.1f, 0.0f });
    setColour(u.colorB, { 0.1f, 0.4f, 0.95f, 0.25f });
    u.aspect = 1.4f;
    u.time = 0.7f;
    u.radius = 0.35f;
    u.thickness = 0.06f;
    u.twists = 1.3f;
    u.opacity = 0.9f;
    u.strandCount = 4.0f;
    u.audioGain = 1.2f;
    return u;
}

// The same with an identity mvp: the clip position is the model point itself.
StrandUniforms identityBlock()
{
    StrandUniforms u = perspectiveBlock();
    std::fill(std::begin(u.mvp), std::end(u.mvp), 0.0f);
    u.mvp[0] = u.mvp[5] = u.mvp[10] = u.mvp[15] = 1.0f;
    return u;
}

// The colour, before alpha, of the strand point at x drawn at clip: with halfExtent 0 the gradient
// from colorA to colorB along x, else the rainbow over the probe's own depth.
Vec3 expectedColour(const StrandUniforms& u, float x, const Vec4& clip, float halfExtent)
{
    if (halfExtent == 0.0f) {
        const float t = x * 0.5f + 0.5f;
        return { u.colorA[0] + (u.colorB[0] - u.colorA[0]) * t,
            u.colorA[1] + (u.colorB[1] - u.colorA[1]) * t,
            u.colorA[2] + (u.colorB[2] - u.colorA[2]) * t };
    }
    const float depth = clip.z / clip.w;
    return rainbow((depth - 0.5f) / (2.0f * halfExtent) + 0.5f);
}

Image constantAudio(float level)
{
    return Image(9, 1, { level, 0.0f, 0.0f, 1.0f });
}

// The clip-space offset of an untapered point's +1 side, widened across the screen direction from
// `from` to `to`. Under an affine mvp (w = 1 everywhere) the offset that the point and its
// neighbours share drops out of that direction, so it follows from the centre line alone.
Vec4 affineNormal(const StrandUniforms& u, Vec3 from, Vec3 to)
{
    auto apply = [&](Vec3 p) {
        return Vec2 { u.mvp[0] * p.x + u.mvp[4] * p.y + u.mvp[8] * p.z,
            u.mvp[1] * p.x + u.mvp[5] * p.y + u.mvp[9] * p.z };
    };
    const Vec3 delta { to.x - from.x, to.y - from.y, to.z - from.z };
    const Vec2 d = apply(delta);
    const float sx = d.x * u.aspect;
    const float sy = d.y;
    const float len = std::sqrt(sx * sx + sy * sy);
    const float k = u.thickness / 2.0f;
    return { -sy / len * k / u.aspect, sx / len * k, 0.0f, 0.0f };
}

} // namespace

class tst_ShaderRender : public QObject {
    Q_OBJECT

public:
    explicit tst_ShaderRender(visual::Backend backend)
        : backend_(backend)
    {
    }

private slots:
    void initTestCase();
    void cleanupTestCase();

    void fullScreenTriangleCoversTheTarget();
    void uvAtCornersAndCentreIsExact_data();
    void uvAtCornersAndCentreIsExact();

    void brightPassScalesByTheSoftThreshold_data();
    void brightPassScalesByTheSoftThreshold();
    void brightPassFiltersAnImageBetweenTexels();

    void blurKeepsAUniformImage_data();
    void blurKeepsAUniformImage();
    void blurImpulseGivesTheFiveWeights_data();
    void blurImpulseGivesTheFiveWeights();
    void blurSpreadsAlongItsAxis_data();
    void blurSpreadsAlongItsAxis();

    void raysAverageSamplesTowardTheCentre_data();
    void raysAverageSamplesTowardTheCentre();

    void compositeAddsBloomAndRaysWithSeparation_data();
    void compositeAddsBloomAndRaysWithSeparation();
    void compositePullsRedInwardAndBlueOutward();
    void compositeKeepsTheCentreUnseparated();

    void strandTapersToNothingAtTheEnds();
    void audioDrivesPhaseRadiusAndAlpha_data();
    void audioDrivesPhaseRadiusAndAlpha();
    void audioIsReadAlongTheStrand();
    void strandCountAtMostOneSharesOnePhase_data();
    void strandCountAtMostOneSharesOnePhase();
    void colourFollowsTheModeSwitch_data();
    void colourFollowsTheModeSwitch();
    void firstPointLooksAhead();
    void ribbonWidthIgnoresClipW_data();
    void ribbonWidthIgnoresClipW();
    void radiusFollowsTheSimplexNoise_data();
    void radiusFollowsTheSimplexNoise();
    void packStrandPipelineDrawsTheRibbon();

private:
    // The pack's own strand pair as a triangle strip along points, into a w x h target.
    bool drawStrands(const StrandUniforms& block, const Image& audio,
        const std::vector<Vec3>& points, int w, int h, Image* out);
    // The blur of impulse(value) read through filter, at the impulse's size.
    bool blurImpulse(Vec4 value, Filter filter, float direction, Image* out);
    // Draws one full-screen pass into a w x h target.
    bool postPass(const QString& fragment, const PostUniforms& block,
        const std::vector<std::pair<const Image*, Filter>>& textures, int w, int h, Image* out);
    struct Probe {
        Image color;
        Image clip;
    };
    bool probe(const StrandUniforms& block, const Image& audio, Filter filter,
        const std::vector<StrandVertex>& vertices, int instances, Probe* out);
    void compareProbe(const Probe& got, const StrandUniforms& block, const Image& audio,
        Filter filter, const std::vector<StrandVertex>& vertices, int instances,
        float colorTolerance);

    visual::Backend backend_;
    Renderer renderer_;
    // Why the last draw failed, for the failure message.
    QString why_;
    std::map<QString, QShader> shaders_;
};

void tst_ShaderRender::initTestCase()
{
    QString why;
    if (!renderer_.start(backend_, &why)) {
        const QString message = QStringLiteral("%1 back end unavailable: %2")
                                    .arg(QLatin1String(visual::backendName(backend_)), why);
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            QFAIL(qPrintable(message + QLatin1String(" (a skip counts as a failure in CI)")));
        QSKIP(qPrintable(message));
    }
    qInfo("%s back end on %s", visual::backendName(backend_),
        renderer_.rhi()->driverInfo().deviceName.constData());

    const QStringList pack = { "fullscreen.vert", "bright.frag", "blur.frag", "rays.frag",
        "composite.frag", "strands.vert", "strands.frag" };
    for (const QString& name : pack)
        shaders_[name] = loadShader(QStringLiteral(":/shaders/%1.qsb").arg(name));
    for (const char* name : { "uv.frag", "strandprobe.vert", "strandprobe.frag" })
        shaders_[name] = loadShader(QStringLiteral(":/test/%1.qsb").arg(QLatin1String(name)));
    for (const auto& entry : shaders_)
        QVERIFY2(entry.second.isValid(), qPrintable(entry.first + QLatin1String(" not loaded")));
}

void tst_ShaderRender::cleanupTestCase()
{
    for (const auto& entry : deviations())
        qInfo("largest deviation on %s: %-16s %.3g", visual::backendName(backend_),
            qPrintable(entry.first), entry.second);
}

bool tst_ShaderRender::postPass(const QString& fragment, const PostUniforms& block,
    const std::vector<std::pair<const Image*, Filter>>& textures, int w, int h, Image* out)
{
    Draw d;
    d.vertex = shaders_.at("fullscreen.vert");
    d.fragment = shaders_.at(fragment);
    d.uniforms = bytesOf(block);
    d.textures = textures;
    d.width = w;
    d.height = h;
    std::vector<Image> images;
    if (!renderer_.render(d, &images, &why_)) {
        why_ = fragment + QLatin1String(": ") + why_;
        return false;
    }
    *out = images.front();
    return true;
}

bool tst_ShaderRender::drawStrands(const StrandUniforms& block, const Image& audio,
    const std::vector<Vec3>& points, int w, int h, Image* out)
{
    Draw d;
    d.vertex = shaders_.at("strands.vert");
    d.fragment = shaders_.at("strands.frag");
    d.uniforms = bytesOf(block);
    d.resourceStages = QRhiShaderResourceBinding::VertexStage;
    d.textures = { { &audio, Filter::Nearest } };
    d.vertices = strandLine(points, { -1.0f, 1.0f });
    d.topology = QRhiGraphicsPipeline::TriangleStrip;
    d.vertexCount = int(d.vertices.size());
    d.width = w;
    d.height = h;
    std::vector<Image> images;
    if (!renderer_.render(d, &images, &why_))
        return false;
    *out = images.front();
    return true;
}

bool tst_ShaderRender::blurImpulse(Vec4 value, Filter filter, float direction, Image* out)
{
    const Image source = impulse(value);
    return postPass("blur.frag", blurAlong(direction, source), { { &source, filter } },
        source.width, source.height, out);
}

void tst_ShaderRender::fullScreenTriangleCoversTheTarget()
{
    const int w = 13, h = 7;
    Draw d;
    d.vertex = shaders_.at("fullscreen.vert");
    d.fragment = shaders_.at("uv.frag");
    d.width = w;
    d.height = h;
    std::vector<Image> out;
    QVERIFY2(renderer_.render(d, &out, &why_), qPrintable(why_));
    const Image want = modelPass(w, h, [](Vec2 uv) { return Vec4 { uv.x, uv.y, 0.0f, 1.0f }; });
    // The sentinel's -1 would show any pixel the triangle missed.
    QByteArray message;
    QVERIFY2(sameImage("fullscreen.vert", out.front(), want, kUvTolerance, &message), message);
}

void tst_ShaderRender::uvAtCornersAndCentreIsExact_data()
{
    QTest::addColumn<int>("column");
    QTest::addColumn<int>("row");
    QTest::addColumn<float>("u");
    QTest::addColumn<float>("v");
    // 13 x 7 target; read-back row 0 lies at clip y = -1, where vertex 0 sits with vUv (0, 1).
    QTest::newRow("clip (-1, -1), vertex 0's corner") << 0 << 0 << 0.5f / 13 << 1 - 0.5f / 7;
    QTest::newRow("clip (+1, -1)") << 12 << 0 << 1 - 0.5f / 13 << 1 - 0.5f / 7;
    QTest::newRow("clip (-1, +1), reads (0, 0)") << 0 << 6 << 0.5f / 13 << 0.5f / 7;
    QTest::newRow("clip (+1, +1)") << 12 << 6 << 1 - 0.5f / 13 << 0.5f / 7;
    QTest::newRow("centre") << 6 << 3 << 0.5f << 0.5f;
}

void tst_ShaderRender::uvAtCornersAndCentreIsExact()
{
    QFETCH(int, column);
    QFETCH(int, row);
    QFETCH(float, u);
    QFETCH(float, v);
    Draw d;
    d.vertex = shaders_.at("fullscreen.vert");
    d.fragment = shaders_.at("uv.frag");
    d.width = 13;
    d.height = 7;
    std::vector<Image> out;
    QVERIFY2(renderer_.render(d, &out, &why_), qPrintable(why_));
    const Vec4 got = out.front().at(column, row);
    QVERIFY2(std::fabs(got.x - u) <= kUvTolerance && std::fabs(got.y - v) <= kUvTolerance,
        qPrintable(QStringLiteral("pixel (%1, %2): vUv (%3, %4), expected (%5, %6)")
                       .arg(column)
                       .arg(row)
                       .arg(double(got.x), 0, 'g', 8)
                       .arg(double(got.y), 0, 'g', 8)
                       .arg(double(u), 0, 'g', 8)
                       .arg(double(v), 0, 'g', 8)));
}

void tst_ShaderRender::brightPassScalesByTheSoftThreshold_data()
{
    QTest::addColumn<Vec4>("colour");
    QTest::addColumn<float>("threshold");
    QTest::addColumn<float>("knee");
    QTest::addColumn<float>("scale");

    const Vec4 c { 0.4f, 0.5f, 0.6f, 0.8f };
    const float l = luma(c);
    // A dim colour keeps the float spacing of luma (2e-9) small against a knee of 0.0001.
    const Vec4 dim { 0.01f, 0.02f, 0.03f, 0.5f };
    const float dl = luma(dim);
    // smoothstep at a quarter of the knee: 3/16 - 2/64.
    const float quarter = 0.15625f;
    QTest::newRow("luma at the threshold: black, alpha 0") << c << l << 0.2f << 0.0f;
    QTest::newRow("luma below the threshold") << c << l + 0.1f << 0.2f << 0.0f;
    QTest::newRow("a quarter into the knee") << c << l - 0.05f << 0.2f << quarter;
    QTest::newRow("half into the knee") << c << l - 0.1f << 0.2f << 0.5f;
    QTest::newRow("at the knee's top: unchanged") << c << l - 0.2f << 0.2f << 1.0f;
    QTest::newRow("above the knee: unchanged") << c << 0.1f << 0.1f << 1.0f;
    QTest::newRow("knee 0 acts as 0.0001") << dim << dl - 0.00005f << 0.0f << 0.5f;
    QTest::newRow("negative knee acts as 0.0001") << dim << dl - 0.00005f << -0.5f << 0.5f;
    QTest::newRow("knee 0.0002 is taken as given") << dim << dl - 0.00005f << 0.0002f << quarter;
}

void tst_ShaderRender::brightPassScalesByTheSoftThreshold()
{
    QFETCH(Vec4, colour);
    QFETCH(float, threshold);
    QFETCH(float, knee);
    QFETCH(float, scale);
    const Image source(5, 3, colour);
    PostUniforms u;
    u.threshold = threshold;
    u.knee = knee;
    Image got;
    QVERIFY2(
        postPass("bright.frag", u, { { &source, Filter::Linear } }, 7, 5, &got), qPrintable(why_));
    const Image want(7, 5, colour * scale);
    // A luma that differs in its last bits (4e-9 in the dim rows) moves smoothstep, whose slope is
    // 1.5 / knee, by up to 6e-5 when the knee is 0.0001; seen up to 2e-5 of output.
    QByteArray message;
    QVERIFY2(sameImage("bright.frag", got, want, 2e-4f, &message), message);
}

void tst_ShaderRender::brightPassFiltersAnImageBetweenTexels()
{
    // A source bigger than the target, odd and non-square, sampled between texel centres.
    const Image source = noiseImage(13, 7, 11);
    PostUniforms u;
    u.threshold = 0.35f;
    u.knee = 0.3f;
    Image got;
    QVERIFY2(
        postPass("bright.frag", u, { { &source, Filter::Linear } }, 11, 9, &got), qPrintable(why_));
    const Image want
        = modelPass(11, 9, [&](Vec2 uv) { return bright(u, source, Filter::Linear, uv); });
    QByteArray message;
    QVERIFY2(sameImage("bright.frag", got, want, kFilteredTolerance, &message), message);
}

void tst_ShaderRender::blurKeepsAUniformImage_data()
{
    QTest::addColumn<float>("direction");
    QTest::newRow("horizontal") << 0.0f;
    QTest::newRow("vertical") << 1.0f;
}

void tst_ShaderRender::blurKeepsAUniformImage()
{
    QFETCH(float, direction);
    const Vec4 colour { 0.3f, 0.6f, 0.9f, 0.5f };
    const Image source(17, 9, colour);
    const PostUniforms u = blurAlong(direction, source);
    Image got;
    QVERIFY2(
        postPass("blur.frag", u, { { &source, Filter::Linear } }, 17, 9, &got), qPrintable(why_));
    // The five weights sum to 1 within 3e-8; five products and sums of values up to 0.9 round to
    // within a few 1e-7 (seen up to 1.5e-7).
    QByteArray message;
    QVERIFY2(sameImage("blur.frag", got, Image(17, 9, colour), 2e-6f, &message), message);
}

void tst_ShaderRender::blurImpulseGivesTheFiveWeights_data()
{
    QTest::addColumn<float>("direction");
    QTest::addColumn<bool>("vertical");
    QTest::newRow("horizontal") << 0.0f << false;
    QTest::newRow("vertical") << 1.0f << true;
}

void tst_ShaderRender::blurImpulseGivesTheFiveWeights()
{
    QFETCH(float, direction);
    QFETCH(bool, vertical);
    // With nearest sampling each tap reads one texel: 1.3846 texels away lands in the neighbour,
    // 3.2308 in the third texel out, so an impulse comes back as the five weights themselves.
    Image got;
    QVERIFY2(blurImpulse({ 1.0f, 1.0f, 1.0f, 1.0f }, Filter::Nearest, direction, &got),
        qPrintable(why_));
    const int w = kImpulseWidth, h = kImpulseHeight, cx = kImpulseX, cy = kImpulseY;
    const float weights[5] = { 0.07027027f, 0.31621623f, 0.22702703f, 0.31621623f, 0.07027027f };
    const int offsets[5] = { -3, -1, 0, 1, 3 };
    Image want(w, h);
    for (int k = 0; k < 5; ++k) {
        const int x = vertical ? cx : cx + offsets[k];
        const int y = vertical ? cy + offsets[k] : cy;
        const float c = weights[k];
        want.at(x, y) = { c, c, c, c };
    }
    // Each pixel is one weight times an exact texel read, rounded at most twice (seen up to 3e-7).
    QByteArray message;
    QVERIFY2(sameImage("blur.frag", got, want, 2e-6f, &message), message);
}

void tst_ShaderRender::blurSpreadsAlongItsAxis_data()
{
    QTest::addColumn<float>("direction");
    QTest::addColumn<bool>("vertical");
    QTest::newRow("0: horizontal") << 0.0f << false;
    QTest::newRow("0.49999: horizontal") << 0.49999f << false;
    QTest::newRow("exactly 0.5: vertical") << 0.5f << true;
    QTest::newRow("0.75: vertical") << 0.75f << true;
    QTest::newRow("1: vertical") << 1.0f << true;
}

void tst_ShaderRender::blurSpreadsAlongItsAxis()
{
    QFETCH(float, direction);
    QFETCH(bool, vertical);
    // Linear filtering: each off-centre tap blends two texels, so the impulse spreads over nine.
    const Vec4 lit { 1.0f, 0.5f, 0.25f, 1.0f };
    Image got;
    QVERIFY2(blurImpulse(lit, Filter::Linear, direction, &got), qPrintable(why_));
    const int w = kImpulseWidth, h = kImpulseHeight, cx = kImpulseX, cy = kImpulseY;

    int litPixels = 0;
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            // vUv meets a texel centre only to within float rounding, which lets a few 1e-9 of the
            // neighbouring row into the bilinear blend; the smallest true tap is above 0.01.
            if (got.at(x, y).w <= 1e-6f)
                continue;
            ++litPixels;
            QVERIFY2(vertical ? x == cx : y == cy,
                qPrintable(QStringLiteral("pixel (%1, %2) lit off the %3 axis: %4")
                               .arg(x)
                               .arg(y)
                               .arg(QLatin1String(vertical ? "vertical" : "horizontal"))
                               .arg(show(got.at(x, y)))));
        }
    }
    QCOMPARE(litPixels, 9);
    const Image source = impulse(lit);
    const PostUniforms u = blurAlong(direction, source);
    const Image want
        = modelPass(w, h, [&](Vec2 uv) { return blur(u, source, Filter::Linear, uv); });
    QByteArray message;
    QVERIFY2(sameImage("blur.frag", got, want, kFilteredTolerance, &message), message);
}

void tst_ShaderRender::raysAverageSamplesTowardTheCentre_data()
{
    QTest::addColumn<float>("length");
    QTest::addColumn<float>("decay");
    QTest::addColumn<QString>("expect");
    QTest::newRow("decay 0: the source at vUv") << 0.8f << 0.0f << "source";
    QTest::newRow("length 0: the source at vUv") << 0.0f << 0.9f << "source";
    QTest::newRow("decay 1: the plain mean") << 0.8f << 1.0f << "mean";
    QTest::newRow("decay -1: weights cancel, zero") << 0.8f << -1.0f << "zero";
    QTest::newRow("general") << 0.7f << 0.93f << "model";
    QTest::newRow("full length") << 1.0f << 0.97f << "model";
}

void tst_ShaderRender::raysAverageSamplesTowardTheCentre()
{
    QFETCH(float, length);
    QFETCH(float, decay);
    QFETCH(QString, expect);
    const Image source = noiseImage(15, 9, 23);
    PostUniforms u;
    u.rayLength = length;
    u.rayDecay = decay;
    const int w = 11, h = 7;
    Image got;
    QVERIFY2(
        postPass("rays.frag", u, { { &source, Filter::Linear } }, w, h, &got), qPrintable(why_));
    const Image want = modelPass(w, h, [&](Vec2 uv) {
        if (expect == QLatin1String("source"))
            return sample(source, uv, Filter::Linear);
        if (expect == QLatin1String("zero"))
            return Vec4 {};
        if (expect == QLatin1String("mean")) {
            // Sample k lies k/24 of rayLength toward the centre; the last one short of it.
            Vec4 sum;
            for (int k = 0; k < 24; ++k) {
                const float f = length * float(k) / 24.0f;
                const Vec4 s = sample(
                    source, { uv.x + (0.5f - uv.x) * f, uv.y + (0.5f - uv.y) * f }, Filter::Linear);
                sum = { sum.x + s.x, sum.y + s.y, sum.z + s.z, sum.w + s.w };
            }
            return sum * (1.0f / 24.0f);
        }
        return rays(u, source, Filter::Linear, uv);
    });
    QByteArray message;
    QVERIFY2(sameImage("rays.frag", got, want, kFilteredTolerance, &message), message);
}

void tst_ShaderRender::compositeAddsBloomAndRaysWithSeparation_data()
{
    QTest::addColumn<float>("dispersion");
    QTest::addColumn<float>("intensity");
    QTest::addColumn<float>("radialBlur");
    QTest::addColumn<float>("sourceAlpha");
    QTest::newRow("no dispersion") << 0.0f << 0.6f << 0.05f << 1.0f;
    QTest::newRow("dispersion") << 0.5f << 0.6f << 0.05f << 1.0f;
    QTest::newRow("strong dispersion") << 3.0f << 0.3f << 0.02f << 1.0f;
    QTest::newRow("alpha clamped to 1") << 0.5f << 1.0f << 0.1f << 0.9f;
    QTest::newRow("channels capped at alpha") << 0.5f << 0.1f << 0.01f << 0.2f;
}

void tst_ShaderRender::compositeAddsBloomAndRaysWithSeparation()
{
    QFETCH(float, dispersion);
    QFETCH(float, intensity);
    QFETCH(float, radialBlur);
    QFETCH(float, sourceAlpha);
    Image source = noiseImage(15, 9, 31);
    for (Vec4& t : source.texels)
        t.w = sourceAlpha;
    // The bloom and rays images are smaller than the scene, as they are in the chain.
    const Image bloomImage = noiseImage(7, 5, 37);
    const Image raysImage = noiseImage(9, 5, 41);
    PostUniforms u;
    u.dispersion = dispersion;
    u.intensity = intensity;
    u.radialBlur = radialBlur;
    const int w = 13, h = 7;
    Image got;
    QVERIFY2(postPass("composite.frag", u,
                 { { &source, Filter::Linear }, { &bloomImage, Filter::Linear },
                     { &raysImage, Filter::Linear } },
                 w, h, &got),
        qPrintable(why_));

    Image want = modelPass(w, h,
        [&](Vec2 uv) { return composite(u, source, bloomImage, raysImage, Filter::Linear, uv); });
    if (dispersion == 0.0f) {
        // Without dispersion every channel comes from vUv itself.
        want = modelPass(w, h, [&](Vec2 uv) {
            const Vec4 s = sample(source, uv, Filter::Linear);
            const Vec4 b = sample(bloomImage, uv, Filter::Linear);
            const Vec4 r = sample(raysImage, uv, Filter::Linear);
            const Vec4 sum = s + b * intensity + r * (radialBlur * 8.0f);
            const float a = std::clamp(sum.w, 0.0f, 1.0f);
            return Vec4 { std::min(sum.x, a), std::min(sum.y, a), std::min(sum.z, a), a };
        });
    }
    QByteArray message;
    QVERIFY2(sameImage("composite.frag", got, want, kFilteredTolerance, &message), message);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Vec4 p = got.at(x, y);
            QVERIFY2(p.w >= 0.0f && p.w <= 1.0f && p.x <= p.w && p.y <= p.w && p.z <= p.w,
                qPrintable(QStringLiteral("pixel (%1, %2): %3 is not premultiplied within alpha")
                               .arg(x)
                               .arg(y)
                               .arg(show(p))));
        }
    }
}

void tst_ShaderRender::compositePullsRedInwardAndBlueOutward()
{
    // Every channel of every image holds the distance from the centre, so the channel read
    // nearer the centre comes out smaller.
    const int sw = 15, sh = 9;
    Image ramp(sw, sh);
    for (int y = 0; y < sh; ++y) {
        for (int x = 0; x < sw; ++x) {
            const float dx = (float(x) + 0.5f) / sw - 0.5f;
            const float dy = (float(y) + 0.5f) / sh - 0.5f;
            const float d = std::sqrt(dx * dx + dy * dy);
            ramp.at(x, y) = { d, d, d, 1.0f };
        }
    }
    PostUniforms u;
    u.dispersion = 0.8f;
    u.intensity = 0.3f;
    u.radialBlur = 0.02f;
    const int w = 13, h = 7;
    Image got;
    QVERIFY2(
        postPass("composite.frag", u,
            { { &ramp, Filter::Linear }, { &ramp, Filter::Linear }, { &ramp, Filter::Linear } }, w,
            h, &got),
        qPrintable(why_));
    const Image want = modelPass(
        w, h, [&](Vec2 uv) { return composite(u, ramp, ramp, ramp, Filter::Linear, uv); });
    QByteArray message;
    QVERIFY2(sameImage("composite.frag", got, want, kFilteredTolerance, &message), message);

    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            const Vec2 uv = fullscreenUv(x, y, w, h);
            const float r = std::hypot(uv.x - 0.5f, uv.y - 0.5f);
            if (r < 0.1f || r > 0.35f)
                continue;
            const Vec4 p = got.at(x, y);
            QVERIFY2(p.x < p.y && p.y < p.z,
                qPrintable(QStringLiteral("pixel (%1, %2) at radius %3: %4, expected red < green "
                                          "< blue")
                               .arg(x)
                               .arg(y)
                               .arg(double(r))
                               .arg(show(p))));
        }
    }
}

void tst_ShaderRender::compositeKeepsTheCentreUnseparated()
{
    // One row 12001 pixels wide: the pixel next to the centre lies 1/12001 = 8.3e-5 from it, inside
    // the 0.0001 that counts as the centre; the one after, 1.7e-4 out, is separated.
    const int w = 12001;
    if (renderer_.rhi()->resourceLimit(QRhi::TextureSizeMax) < w)
        QSKIP("textures of 12001 texels are not supported");
    // Slow waves: at u near 0.5 a float coordinate resolves only 7e-4 of a texel here, so the
    // image must change little per texel (at most 0.015) for model and GPU to read the same value.
    Image stripes(w, 1);
    for (int x = 0; x < w; ++x) {
        auto wave = [&](float rate, float phase) {
            return 0.35f + 0.3f * std::sin(float(x) * rate + phase);
        };
        stripes.at(x, 0) = { wave(0.05f, 0.0f), wave(0.04f, 1.0f), wave(0.03f, 2.0f), 1.0f };
    }
    PostUniforms u;
    u.dispersion = 10000.0f;
    u.intensity = 0.2f;
    u.radialBlur = 0.01f;
    Image got;
    QVERIFY2(postPass("composite.frag", u,
                 { { &stripes, Filter::Linear }, { &stripes, Filter::Linear },
                     { &stripes, Filter::Linear } },
                 w, 1, &got),
        qPrintable(why_));

    // Near u = 0.5 a float coordinate resolves 7e-4 of a texel of this row; at 0.015 per texel that
    // is 1e-5 per read, seen up to 1.4e-5 over the reads of a pixel.
    const float tolerance = 1e-4f;
    const int centre = w / 2;
    PostUniforms still = u;
    still.dispersion = 0.0f;
    for (int x = centre - 6; x <= centre + 6; ++x) {
        const Vec2 uv = fullscreenUv(x, 0, w, 1);
        const Vec4 want = composite(u, stripes, stripes, stripes, Filter::Linear, uv);
        const Vec4 unseparated = composite(still, stripes, stripes, stripes, Filter::Linear, uv);
        const Vec4 p = got.at(x, 0);
        const float d = deviation(p, want);
        noteDeviation("composite.frag", double(d));
        QVERIFY2(d <= tolerance,
            qPrintable(
                QStringLiteral("pixel %1: got %2, expected %3").arg(x).arg(show(p), show(want))));
        const bool inside = std::abs(x - centre) <= 1;
        QVERIFY2(inside == (deviation(p, unseparated) <= tolerance),
            qPrintable(QStringLiteral("pixel %1 (%2 from the centre): %3, unseparated %4")
                           .arg(x)
                           .arg(x - centre)
                           .arg(show(p), show(unseparated))));
    }
}

bool tst_ShaderRender::probe(const StrandUniforms& block, const Image& audio, Filter filter,
    const std::vector<StrandVertex>& vertices, int instances, Probe* out)
{
    Draw d;
    d.vertex = shaders_.at("strandprobe.vert");
    d.fragment = shaders_.at("strandprobe.frag");
    d.uniforms = bytesOf(block);
    d.resourceStages = QRhiShaderResourceBinding::VertexStage;
    d.textures = { { &audio, filter } };
    d.vertices = vertices;
    d.topology = QRhiGraphicsPipeline::Points;
    d.vertexCount = int(vertices.size());
    d.instanceCount = instances;
    d.width = kProbeColumns;
    d.height = kProbeRows;
    d.targets = 2;
    if (int(vertices.size()) > kProbeColumns || instances > kProbeRows) {
        why_ = QStringLiteral("%1 vertices x %2 instances do not fit the probe")
                   .arg(vertices.size())
                   .arg(instances);
        return false;
    }
    std::vector<Image> images;
    if (!renderer_.render(d, &images, &why_)) {
        why_ = QLatin1String("strand probe: ") + why_;
        return false;
    }
    *out = { images[0], images[1] };
    return true;
}

void tst_ShaderRender::compareProbe(const Probe& got, const StrandUniforms& block,
    const Image& audio, Filter filter, const std::vector<StrandVertex>& vertices, int instances,
    float colorTolerance)
{
    float largest = 0;
    for (int k = 0; k < instances; ++k) {
        for (size_t i = 0; i < vertices.size(); ++i) {
            const StrandResult want = strandVertex(block, audio, filter, vertices[i], k);
            const Vec4 clip = got.clip.at(int(i), k);
            const Vec4 color = got.color.at(int(i), k);
            const float dc = deviation(clip, want.clip);
            const float dk = deviation(color, want.color);
            largest = std::max({ largest, dc, dk });
            QVERIFY2(dc <= kStrandTolerance && dk <= colorTolerance,
                qPrintable(
                    QStringLiteral("instance %1 vertex %2 (x %3, side %4): clip %5 colour %6, "
                                   "expected clip %7 colour %8 (f %9, pinch %10, radius %11)")
                        .arg(k)
                        .arg(i)
                        .arg(double(vertices[i].position.x))
                        .arg(double(vertices[i].direction))
                        .arg(show(clip), show(color), show(want.clip), show(want.color))
                        .arg(double(want.frequencies))
                        .arg(double(want.pinch))
                        .arg(double(want.computedRadius))));
            // Premultiplied: no colour channel above alpha while the rgb lies in 0..1.
            QVERIFY2(color.x <= color.w + colorTolerance && color.y <= color.w + colorTolerance
                    && color.z <= color.w + colorTolerance,
                qPrintable(QStringLiteral("instance %1 vertex %2: colour %3 exceeds its alpha")
                               .arg(k)
                               .arg(i)
                               .arg(show(color))));
        }
    }
    noteDeviation("strands.vert", double(largest));
}

void tst_ShaderRender::strandTapersToNothingAtTheEnds()
{
    StrandUniforms u = perspectiveBlock();
    const Image audio = constantAudio(0.5f / 1.2f); // f = 0.5 with the block's gain of 1.2
    const std::vector<float> xs
        = { -1.0f, -0.9f, -0.75f, -0.5f, -0.25f, 0.0f, 0.25f, 0.5f, 0.75f, 0.9f, 1.0f };
    const auto vertices = strandLine(alongX(xs), { -1.0f, 0.0f, 1.0f });
    Probe got;
    QVERIFY2(probe(u, audio, Filter::Nearest, vertices, 1, &got), qPrintable(why_));
    compareProbe(got, u, audio, Filter::Nearest, vertices, 1, kStrandTolerance);

    const float middleAlpha = u.opacity * (0.35f + 0.65f * 0.5f);
    for (size_t i = 0; i < vertices.size(); ++i) {
        const float x = vertices[i].position.x;
        const Vec4 color = got.color.at(int(i), 0);
        const Vec4 clip = got.clip.at(int(i), 0);
        if (std::fabs(x) == 1.0f) {
            // Radius and width 0: every side lands on the centre line's own projection.
            const Vec4 bare { u.mvp[0] * x + u.mvp[12], u.mvp[1] * x + u.mvp[13],
                u.mvp[2] * x + u.mvp[14], u.mvp[3] * x + u.mvp[15] };
            QVERIFY2(deviation(clip, bare) <= kStrandTolerance && deviation(color, Vec4 {}) == 0.0f,
                qPrintable(QStringLiteral("vertex %1 at x %2: clip %3 colour %4, expected clip %5 "
                                          "and no colour")
                               .arg(i)
                               .arg(double(x))
                               .arg(show(clip), show(color), show(bare))));
        } else if (std::fabs(x) <= 0.5f) {
            QVERIFY2(std::fabs(color.w - middleAlpha) <= kStrandTolerance,
                qPrintable(QStringLiteral("vertex %1 at x %2: alpha %3, expected the untapered %4")
                               .arg(i)
                               .arg(double(x))
                               .arg(double(color.w))
                               .arg(double(middleAlpha))));
        } else {
            QVERIFY2(color.w > 0.0f && color.w < middleAlpha,
                qPrintable(QStringLiteral("vertex %1 at x %2: alpha %3 not tapered below %4")
                               .arg(i)
                               .arg(double(x))
                               .arg(double(color.w))
                               .arg(double(middleAlpha))));
        }
    }
}

void tst_ShaderRender::audioDrivesPhaseRadiusAndAlpha_data()
{
    QTest::addColumn<float>("level");
    QTest::addColumn<float>("gain");
    QTest::addColumn<float>("f");
    QTest::newRow("silent texture") << 0.0f << 1.2f << 0.0f;
    QTest::newRow("gain 0") << 0.8f << 0.0f << 0.0f;
    QTest::newRow("half level") << 0.5f << 1.0f << 0.5f;
    QTest::newRow("full texture") << 1.0f << 1.0f << 1.0f;
    QTest::newRow("gain saturates at 1") << 0.6f << 2.0f << 1.0f;
}

void tst_ShaderRender::audioDrivesPhaseRadiusAndAlpha()
{
    QFETCH(float, level);
    QFETCH(float, gain);
    QFETCH(float, f);
    // Identity mvp: the clip position is the model point itself, so y and z hold the offset.
    StrandUniforms u = identityBlock();
    u.radius = 0.8f; // above the noise's reach, so the radius stays positive and the angle readable
    u.audioGain = gain;
    u.strandCount = 4.0f;
    const Image audio = constantAudio(level);
    const auto vertices = strandLine(alongX({ -0.5f, -0.2f, 0.0f, 0.3f, 0.5f }), { 0.0f });
    Probe got;
    QVERIFY2(probe(u, audio, Filter::Nearest, vertices, 4, &got), qPrintable(why_));
    compareProbe(got, u, audio, Filter::Nearest, vertices, 4, kStrandTolerance);

    const float pi = 3.14159265f;
    const float spread = pi * (0.5f + f); // mix(0.5, 1.5, f) x pi per unit of index
    for (size_t i = 0; i < vertices.size(); ++i) {
        const float angle0 = std::atan2(got.clip.at(int(i), 0).z, got.clip.at(int(i), 0).y);
        for (int k = 0; k < 4; ++k) {
            const Vec4 clip = got.clip.at(int(i), k);
            const Vec4 color = got.color.at(int(i), k);
            const float alpha = u.opacity * (0.35f + 0.65f * f);
            QVERIFY2(std::fabs(color.w - alpha) <= kStrandTolerance,
                qPrintable(QStringLiteral("instance %1 vertex %2: alpha %3, expected %4")
                               .arg(k)
                               .arg(i)
                               .arg(double(color.w))
                               .arg(double(alpha))));
            float phase = std::atan2(clip.z, clip.y) - angle0 - spread * float(k) / 3.0f;
            phase = std::remainder(phase, 2.0f * pi);
            QVERIFY2(std::fabs(phase) <= 1e-4f,
                qPrintable(QStringLiteral("instance %1 vertex %2: phase off by %3 rad from "
                                          "index x %4 rad")
                               .arg(k)
                               .arg(i)
                               .arg(double(phase))
                               .arg(double(spread))));
        }
    }
}

void tst_ShaderRender::audioIsReadAlongTheStrand()
{
    // A ramp of eight levels read with nearest sampling, one point at the centre of each texel:
    // x = -1 + (2i + 1) / 8 reads texel i at t = x / 2 + 1 / 2.
    StrandUniforms u = perspectiveBlock();
    u.audioGain = 1.0f;
    Image audio(8, 1);
    std::vector<float> xs;
    for (int i = 0; i < 8; ++i) {
        audio.at(i, 0) = { float(i) / 7.0f, 0.0f, 0.0f, 1.0f };
        xs.push_back(-1.0f + float(2 * i + 1) / 8.0f);
    }
    const auto vertices = strandLine(alongX(xs), { 0.0f });
    Probe got;
    QVERIFY2(probe(u, audio, Filter::Nearest, vertices, 1, &got), qPrintable(why_));
    compareProbe(got, u, audio, Filter::Nearest, vertices, 1, kStrandTolerance);
    for (int i = 0; i < 8; ++i) {
        const float x = xs[size_t(i)];
        const float s = std::clamp((1.0f - std::fabs(x)) / 0.5f, 0.0f, 1.0f);
        const float pinch = s * s * (3.0f - 2.0f * s);
        const float alpha = u.opacity * (0.35f + 0.65f * float(i) / 7.0f) * pinch;
        const float a = got.color.at(i, 0).w;
        QVERIFY2(std::fabs(a - alpha) <= kStrandTolerance,
            qPrintable(QStringLiteral("point %1 at x %2: alpha %3, expected %4 from level %5")
                           .arg(i)
                           .arg(double(x))
                           .arg(double(a))
                           .arg(double(alpha))
                           .arg(double(i) / 7.0)));
    }
}

void tst_ShaderRender::strandCountAtMostOneSharesOnePhase_data()
{
    QTest::addColumn<float>("strandCount");
    QTest::addColumn<bool>("shared");
    QTest::newRow("1") << 1.0f << true;
    QTest::newRow("0.5") << 0.5f << true;
    QTest::newRow("0") << 0.0f << true;
    QTest::newRow("-2") << -2.0f << true;
    QTest::newRow("2: spread") << 2.0f << false;
}

void tst_ShaderRender::strandCountAtMostOneSharesOnePhase()
{
    QFETCH(float, strandCount);
    QFETCH(bool, shared);
    StrandUniforms u = perspectiveBlock();
    u.strandCount = strandCount;
    const Image audio = constantAudio(0.4f);
    const auto vertices = strandLine(alongX({ -0.6f, -0.1f, 0.35f }), { -1.0f, 1.0f });
    Probe got;
    QVERIFY2(probe(u, audio, Filter::Nearest, vertices, 3, &got), qPrintable(why_));
    compareProbe(got, u, audio, Filter::Nearest, vertices, 3, kStrandTolerance);
    for (int k = 1; k < 3; ++k) {
        for (size_t i = 0; i < vertices.size(); ++i) {
            const bool same = deviation(got.clip.at(int(i), k), got.clip.at(int(i), 0)) == 0.0f;
            QVERIFY2(same == shared,
                qPrintable(QStringLiteral("instance %1 vertex %2: clip %3, instance 0 %4; "
                                          "expected them %5")
                               .arg(k)
                               .arg(i)
                               .arg(show(got.clip.at(int(i), k)), show(got.clip.at(int(i), 0)))
                               .arg(QLatin1String(shared ? "equal" : "apart"))));
        }
    }
}

void tst_ShaderRender::colourFollowsTheModeSwitch_data()
{
    QTest::addColumn<float>("modeSwitch");
    QTest::addColumn<float>("halfExtent");
    QTest::addColumn<bool>("nearHalfDepth");
    QTest::addColumn<float>("expectedHalfExtent");
    QTest::newRow("colorA.w exactly 0.5: gradient") << 0.5f << 0.25f << false << 0.0f;
    QTest::newRow("colorA.w 0.5001: rainbow") << 0.5001f << 0.25f << false << 0.25f;
    QTest::newRow("half extent 0.5: rainbow of depth") << 1.0f << 0.5f << false << 0.5f;
    QTest::newRow("colorB.w 0 acts as 0.0001") << 1.0f << 0.0f << true << 0.0001f;
    QTest::newRow("colorB.w -1 acts as 0.0001") << 1.0f << -1.0f << true << 0.0001f;
    QTest::newRow("colorB.w 0.0002 as given") << 1.0f << 0.0002f << true << 0.0002f;
}

void tst_ShaderRender::colourFollowsTheModeSwitch()
{
    QFETCH(float, modeSwitch);
    QFETCH(float, halfExtent);
    QFETCH(bool, nearHalfDepth);
    QFETCH(float, expectedHalfExtent);
    StrandUniforms u = perspectiveBlock();
    u.colorA[3] = modeSwitch;
    u.colorB[3] = halfExtent;
    if (nearHalfDepth) {
        // Depth 0.5 + 8e-5 * model y: within a tenth of a thousandth of 0.5, where a half extent
        // of 0.0001 still spreads the rainbow out.
        std::fill(std::begin(u.mvp), std::end(u.mvp), 0.0f);
        u.mvp[0] = u.mvp[5] = u.mvp[15] = 1.0f;
        u.mvp[6] = 8e-5f;
        u.mvp[14] = 0.5f;
    }
    const Image audio = constantAudio(0.7f);
    const auto vertices
        = strandLine(alongX({ -0.95f, -0.7f, -0.4f, -0.1f, 0.2f, 0.45f, 0.8f }), { 0.0f });
    Probe got;
    QVERIFY2(probe(u, audio, Filter::Nearest, vertices, 2, &got), qPrintable(why_));
    // Near depth 0.5 the division by 2e-4 magnifies one float step of depth (6e-8) to 3e-4 of the
    // rainbow parameter, which the rainbow's slope of 4.25 turns into 1.3e-3 of colour. Model and
    // GPU have so far rounded that depth alike, but nothing obliges them to.
    const float colorTolerance = nearHalfDepth ? 3e-3f : kStrandTolerance;
    compareProbe(got, u, audio, Filter::Nearest, vertices, 2, colorTolerance);

    for (int k = 0; k < 2; ++k) {
        for (size_t i = 0; i < vertices.size(); ++i) {
            const Vec4 clip = got.clip.at(int(i), k);
            const Vec4 color = got.color.at(int(i), k);
            if (color.w <= 0.0f)
                continue;
            const Vec3 rgb { color.x / color.w, color.y / color.w, color.z / color.w };
            const Vec3 want = expectedColour(u, vertices[i].position.x, clip, expectedHalfExtent);
            const float d = std::max({ std::fabs(rgb.x - want.x), std::fabs(rgb.y - want.y),
                std::fabs(rgb.z - want.z) });
            QVERIFY2(d <= colorTolerance / color.w,
                qPrintable(QStringLiteral("instance %1 vertex %2: colour / alpha (%3, %4, %5), "
                                          "expected (%6, %7, %8)")
                               .arg(k)
                               .arg(i)
                               .arg(double(rgb.x))
                               .arg(double(rgb.y))
                               .arg(double(rgb.z))
                               .arg(double(want.x))
                               .arg(double(want.y))
                               .arg(double(want.z))));
        }
    }
}

void tst_ShaderRender::firstPointLooksAhead()
{
    // A bent centre line inside |x| <= 0.5 (no taper) under an affine mvp.
    StrandUniforms u = perspectiveBlock();
    u.mvp[3] = u.mvp[7] = u.mvp[11] = 0.0f;
    u.mvp[15] = 1.0f;
    u.thickness = 0.2f;
    const std::vector<Vec3> points = { { -0.5f, 0.0f, 0.0f }, { -0.2f, 0.25f, 0.0f },
        { 0.1f, -0.1f, 0.1f }, { 0.45f, 0.2f, -0.1f } };
    const auto vertices = strandLine(points, { 0.0f, 1.0f });
    const Image audio = constantAudio(0.3f);
    Probe got;
    QVERIFY2(probe(u, audio, Filter::Nearest, vertices, 1, &got), qPrintable(why_));
    compareProbe(got, u, audio, Filter::Nearest, vertices, 1, kStrandTolerance);

    for (size_t p = 0; p < points.size(); ++p) {
        const Vec4 centre = got.clip.at(int(2 * p), 0);
        const Vec4 side = got.clip.at(int(2 * p + 1), 0);
        const Vec4 normal { side.x - centre.x, side.y - centre.y, 0.0f, 0.0f };
        const Vec4 want = p == 0 ? affineNormal(u, points[0], points[1])
                                 : affineNormal(u, points[p - 1], points[p]);
        QVERIFY2(deviation(normal, want) <= kStrandTolerance,
            qPrintable(QStringLiteral("point %1: ribbon offset (%2, %3), expected (%4, %5) from "
                                      "the %6")
                           .arg(p)
                           .arg(double(normal.x))
                           .arg(double(normal.y))
                           .arg(double(want.x))
                           .arg(double(want.y))
                           .arg(QLatin1String(p == 0 ? "successor" : "predecessor"))));
    }
}

void tst_ShaderRender::ribbonWidthIgnoresClipW_data()
{
    QTest::addColumn<float>("w");
    QTest::newRow("w 1") << 1.0f;
    QTest::newRow("w 2") << 2.0f;
    QTest::newRow("w 4") << 4.0f;
}

void tst_ShaderRender::ribbonWidthIgnoresClipW()
{
    QFETCH(float, w);
    // The whole affine mvp scaled by w: the same picture with every clip coordinate times w. The
    // ribbon offset is added to clip x and y as it is, so it stays the same in clip space.
    StrandUniforms u = perspectiveBlock();
    u.mvp[3] = u.mvp[7] = u.mvp[11] = 0.0f;
    u.mvp[15] = 1.0f;
    for (float& m : u.mvp)
        m *= w;
    u.thickness = 0.2f;
    const std::vector<Vec3> points = alongX({ -0.4f, 0.0f, 0.4f });
    const auto vertices = strandLine(points, { 0.0f, -1.0f });
    const Image audio = constantAudio(0.5f);
    Probe got;
    QVERIFY2(probe(u, audio, Filter::Nearest, vertices, 1, &got), qPrintable(why_));
    compareProbe(got, u, audio, Filter::Nearest, vertices, 1, kStrandTolerance);

    StrandUniforms unit = u;
    for (float& m : unit.mvp)
        m /= w;
    for (size_t p = 0; p < points.size(); ++p) {
        const Vec4 centre = got.clip.at(int(2 * p), 0);
        const Vec4 side = got.clip.at(int(2 * p + 1), 0);
        QCOMPARE(centre.w, w);
        const Vec4 offset { side.x - centre.x, side.y - centre.y, 0.0f, 0.0f };
        const Vec4 n = p == 0 ? affineNormal(unit, points[0], points[1])
                              : affineNormal(unit, points[p - 1], points[p]);
        const Vec4 want { -n.x, -n.y, 0.0f, 0.0f };
        QVERIFY2(deviation(offset, want) <= kStrandTolerance,
            qPrintable(QStringLiteral("point %1 at w %2: ribbon offset (%3, %4), expected (%5, %6)")
                           .arg(p)
                           .arg(double(w))
                           .arg(double(offset.x))
                           .arg(double(offset.y))
                           .arg(double(want.x))
                           .arg(double(want.y))));
    }
}

void tst_ShaderRender::radiusFollowsTheSimplexNoise_data()
{
    QTest::addColumn<float>("time");
    QTest::addColumn<float>("twists");
    QTest::addColumn<float>("level");
    // The noise's 0.6 kernel reaches past its simplex, so the noise steps (by up to 4e-3) across
    // the faces of the simplex grid, and which side a point on a face lands is down to its last
    // bit. The times keep the sample points off those faces; -12.5 would put x = 0 on one.
    QTest::newRow("time 0, silent") << 0.0f << 1.3f << 0.0f;
    QTest::newRow("time 3.7, full") << 3.7f << 0.8f << 1.0f;
    QTest::newRow("time -12.37, half") << -12.37f << 2.2f << 0.5f;
    QTest::newRow("time 41.3, full") << 41.3f << 3.0f << 1.0f;
}

void tst_ShaderRender::radiusFollowsTheSimplexNoise()
{
    QFETCH(float, time);
    QFETCH(float, twists);
    QFETCH(float, level);
    // No base radius and an identity mvp: y and z of the clip position are the noise terms alone.
    StrandUniforms u = identityBlock();
    u.radius = 0.0f;
    u.time = time;
    u.twists = twists;
    u.audioGain = 1.0f;
    const Image audio = constantAudio(level);
    std::vector<float> xs;
    for (int i = 0; i <= 20; ++i)
        xs.push_back(-0.95f + 0.095f * float(i));
    const auto vertices = strandLine(alongX(xs), { 0.0f });
    Probe got;
    QVERIFY2(probe(u, audio, Filter::Nearest, vertices, 2, &got), qPrintable(why_));
    compareProbe(got, u, audio, Filter::Nearest, vertices, 2, kStrandTolerance);

    for (int k = 0; k < 2; ++k) {
        for (size_t i = 0; i < vertices.size(); ++i) {
            const StrandResult m = strandVertex(u, audio, Filter::Nearest, vertices[i], k);
            const Vec4 clip = got.clip.at(int(i), k);
            const float radius = std::hypot(clip.y, clip.z);
            QVERIFY2(std::fabs(radius - std::fabs(m.computedRadius)) <= kStrandTolerance,
                qPrintable(QStringLiteral("instance %1 x %2: radius %3, simplex noise gives %4")
                               .arg(k)
                               .arg(double(vertices[i].position.x))
                               .arg(double(radius))
                               .arg(double(m.computedRadius))));
        }
    }
}

void tst_ShaderRender::packStrandPipelineDrawsTheRibbon()
{
    // The pack's own strand pair as a triangle strip. The mvp drops model y and z, so the helix
    // collapses onto clip y = 0 and the ribbon is a band of half-height thickness / 2 in clip
    // units, that is thickness / (2 w) on screen.
    const int w = 41, h = 31;
    StrandUniforms u = perspectiveBlock();
    std::fill(std::begin(u.mvp), std::end(u.mvp), 0.0f);
    u.mvp[0] = 1.6f; // clip x = 1.6 x, with w = 2: screen x = 0.8 x
    u.mvp[14] = 1.0f; // depth 0.5
    u.mvp[15] = 2.0f;
    u.thickness = 0.8f; // half-height 0.2 on screen
    setColour(u.colorA, { 0.2f, 0.6f, 0.4f, 0.0f });
    setColour(u.colorB, { 0.2f, 0.6f, 0.4f, 0.0f });
    u.opacity = 0.8f;
    u.audioGain = 1.0f;
    std::vector<float> xs;
    for (int i = 0; i <= 20; ++i)
        xs.push_back(-1.0f + 0.1f * float(i));
    Image got;
    QVERIFY2(drawStrands(u, constantAudio(1.0f), alongX(xs), w, h, &got), qPrintable(why_));

    const Vec4 inside { 0.2f * 0.8f, 0.6f * 0.8f, 0.4f * 0.8f, 0.8f };
    float largest = 0;
    for (int row = 0; row < h; ++row) {
        const float y = (float(row) + 0.5f) / h * 2.0f - 1.0f;
        for (int column = 0; column < w; ++column) {
            const float x = (float(column) + 0.5f) / w * 2.0f - 1.0f;
            const Vec4 p = got.at(column, row);
            if (std::fabs(y) > 0.25f) {
                QVERIFY2(deviation(p, kSentinel) == 0.0f,
                    qPrintable(QStringLiteral("pixel (%1, %2) at screen y %3 is drawn: %4")
                                   .arg(column)
                                   .arg(row)
                                   .arg(double(y))
                                   .arg(show(p))));
            } else if (std::fabs(y) < 0.2f && std::fabs(x) < 0.35f) {
                const float dev = deviation(p, inside);
                largest = std::max(largest, dev);
                QVERIFY2(dev <= kStrandTolerance,
                    qPrintable(QStringLiteral("pixel (%1, %2): %3, expected %4")
                                   .arg(column)
                                   .arg(row)
                                   .arg(show(p), show(inside))));
            }
        }
    }
    noteDeviation("strands.frag", double(largest));
}

int main(int argc, char** argv)
{
    return rendertest::main<tst_ShaderRender>(argc, argv);
}

#include "tst_shaderrender.moc"
