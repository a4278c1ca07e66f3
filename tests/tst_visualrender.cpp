// The whole visual rendered headless, once per software back end ("-backend vulkan" on lavapipe,
// "-backend gles" on llvmpipe): the post-processing chain against the CPU model of the shaders,
// the picture's orientation, and how it answers the music. Where the back end cannot start every
// case skips with the reason; with CI=true that is a failure instead.

#include "rendermain.h"
#include "shadermodel.h"

#include "visual/headless.h"
#include "visual/look.h"

#include <QFile>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <unistd.h>

using namespace shadermodel;

namespace {

// Odd, non-square sizes: a swapped texel size or a lost half-texel shows only there.
constexpr int kWidth = 97;
constexpr int kHeight = 61;
// A pixel channel counts as lit above this (of 255): above the rounding of an empty picture.
constexpr int kLitLevel = 8;
// Resident memory may move this much between two readings without anything leaking: with nothing
// retained per picture it moved by at most 1.5 MB (allocator arenas, Qt's pools settling) over ten
// runs on each back end, while a strand shader that lavapipe recompiled at every draw kept about
// 650 KB per picture, 95 MB over the 150 pictures between the readings. This bound catches any
// leak above about 55 KB per picture.
constexpr long kResidentToleranceKb = 8 * 1024;
constexpr int kWarmPictures = 50;
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kAddressSanitizer = true;
#elif defined(__has_feature)
constexpr bool kAddressSanitizer = __has_feature(address_sanitizer);
#else
constexpr bool kAddressSanitizer = false;
#endif

dsp::SpectrumFrame frameOf(float bar, float presence)
{
    dsp::SpectrumFrame f;
    for (int i = 0; i < dsp::kMaxBands; ++i)
        f.bars[i] = bar * (0.6f + 0.4f * float(i % 5) / 4.0f); // some shape along the strand
    f.presence = presence;
    return f;
}

struct Picture {
    int width = 0, height = 0;
    QByteArray rgba; // rows top first
    int at(int x, int y, int c) const { return quint8(rgba[(qsizetype(y) * width + x) * 4 + c]); }
    int brightest(int x, int y) const
    {
        return std::max({ at(x, y, 0), at(x, y, 1), at(x, y, 2) });
    }
};

double meanLevel(const Picture& p)
{
    double sum = 0;
    for (int y = 0; y < p.height; ++y)
        for (int x = 0; x < p.width; ++x)
            sum += p.at(x, y, 0) + p.at(x, y, 1) + p.at(x, y, 2);
    return sum / (3.0 * p.width * p.height);
}

long residentKb()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * (sysconf(_SC_PAGESIZE) / 1024) : -1;
}

// Rows that hold at least one lit pixel.
int litRows(const Picture& p)
{
    int rows = 0;
    for (int y = 0; y < p.height; ++y) {
        bool lit = false;
        for (int x = 0; x < p.width && !lit; ++x)
            lit = p.brightest(x, y) > kLitLevel;
        rows += lit;
    }
    return rows;
}

// What an 8-bit image stores.
Vec4 stored(Vec4 v)
{
    auto r = [](float f) { return std::round(std::clamp(f, 0.0f, 1.0f) * 255.0f) / 255.0f; };
    return { r(v.x), r(v.y), r(v.z), r(v.w) };
}

template <class F> Image modelPass(int w, int h, F f)
{
    Image image(w, h);
    for (int row = 0; row < h; ++row)
        for (int column = 0; column < w; ++column)
            image.at(column, row) = stored(f(fullscreenUv(column, row, w, h)));
    return image;
}

// The look's block with the geometry the renderer sets for a pass that reads `input`.
PostUniforms postBlock(const PostUniforms& look, const Image& input, float direction)
{
    PostUniforms b = look;
    b.texelSize[0] = 1.0f / float(input.width);
    b.texelSize[1] = 1.0f / float(input.height);
    b.direction = direction;
    return b;
}

// What the chain's passes make of the scene, modelled on the CPU: the glow's bloom and the rays
// drawn from it, each the size the renderer gives it.
struct ModelChain {
    Image bloom;
    Image rays;
};

ModelChain modelChain(const PostUniforms& u, const Image& scene)
{
    const int hw = (kWidth + 1) / 2, hh = (kHeight + 1) / 2;
    const int qw = (kWidth + 3) / 4, qh = (kHeight + 3) / 4;
    const Image bright = modelPass(hw, hh, [&](Vec2 uv) {
        return shadermodel::bright(postBlock(u, scene, 0), scene, Filter::Linear, uv);
    });
    const Image blurX = modelPass(
        qw, qh, [&](Vec2 uv) { return blur(postBlock(u, bright, 0), bright, Filter::Linear, uv); });
    const Image glow = modelPass(
        qw, qh, [&](Vec2 uv) { return blur(postBlock(u, blurX, 1), blurX, Filter::Linear, uv); });
    const Image rayImage = modelPass(
        qw, qh, [&](Vec2 uv) { return rays(postBlock(u, glow, 0), glow, Filter::Linear, uv); });
    PostUniforms copy = postBlock(u, glow, 0);
    copy.threshold = -2.0f;
    copy.knee = 0.0001f;
    const Image bloom = modelPass(
        qw, qh, [&](Vec2 uv) { return shadermodel::bright(copy, glow, Filter::Linear, uv); });
    return { bloom, rayImage };
}

} // namespace

class tst_VisualRender : public QObject {
    Q_OBJECT

public:
    tst_VisualRender(visual::Backend backend)
        : backend_(backend)
    {
    }

private slots:
    void initTestCase();
    void chainMatchesTheModel();
    void strandsMovedUpLightOnlyTheTopHalf();
    void loudMusicBrightensAndWidens();
    void presenceZeroDims();
    void sameLookSameBytes();
    void loudFigureFillsTheLongerSide_data();
    void loudFigureFillsTheLongerSide();
    void steepStrandIsContinuous();
    void memoryStaysFlatFromPictureToPicture();
    void autoTakesOpenGlEsOnACpuDevice();

private:
    bool render(const visual::Look& look, float lensShift, Picture* out);
    // A picture of another size, with the glow and the rays off: the strands alone.
    bool renderStrands(QSize size, int sampleCount, visual::Look look, Picture* out);
    bool readImage(QRhiTexture* texture, Image* out);

    visual::Backend backend_;
    visual::HeadlessRhi host_;
    std::unique_ptr<visual::OffscreenFrame> frame_;
};

void tst_VisualRender::initTestCase()
{
    QString why;
    if (!host_.start(backend_, &why)
        || (frame_ = std::make_unique<visual::OffscreenFrame>(host_.rhi()),
            !frame_->setup(QSize(kWidth, kHeight), 4, &why))) {
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            QFAIL(qPrintable(why));
        QSKIP(qPrintable(why));
    }
}

bool tst_VisualRender::render(const visual::Look& look, float lensShift, Picture* out)
{
    frame_->renderer().setLensShift(lensShift);
    QString why;
    out->width = kWidth;
    out->height = kHeight;
    const bool ok = frame_->render(look, &out->rgba, &why);
    if (!ok)
        qWarning("%s", qPrintable(why));
    return ok;
}

bool tst_VisualRender::renderStrands(QSize size, int sampleCount, visual::Look look, Picture* out)
{
    visual::OffscreenFrame frame(host_.rhi());
    look.post.intensity = 0.0f;
    look.post.radialBlur = 0.0f;
    QString why;
    out->width = size.width();
    out->height = size.height();
    const bool ok = frame.setup(size, sampleCount, &why) && frame.render(look, &out->rgba, &why);
    if (!ok)
        qWarning("%s", qPrintable(why));
    return ok;
}

bool tst_VisualRender::readImage(QRhiTexture* texture, Image* out)
{
    QRhi* rhi = host_.rhi();
    QRhiCommandBuffer* cb = nullptr;
    if (rhi->beginOffscreenFrame(&cb) != QRhi::FrameOpSuccess)
        return false;
    QRhiReadbackResult result;
    QRhiResourceUpdateBatch* batch = rhi->nextResourceUpdateBatch();
    batch->readBackTexture(QRhiReadbackDescription(texture), &result);
    cb->resourceUpdate(batch);
    if (rhi->endOffscreenFrame() != QRhi::FrameOpSuccess)
        return false;
    const QSize size = texture->pixelSize();
    *out = Image(size.width(), size.height());
    if (texture->format() != QRhiTexture::RGBA8
        || result.data.size() != qsizetype(size.width()) * size.height() * 4)
        return false;
    const auto* bytes = reinterpret_cast<const quint8*>(result.data.constData());
    for (size_t i = 0; i < out->texels.size(); ++i)
        out->texels[i] = { bytes[4 * i] / 255.0f, bytes[4 * i + 1] / 255.0f,
            bytes[4 * i + 2] / 255.0f, bytes[4 * i + 3] / 255.0f };
    return true;
}

void tst_VisualRender::chainMatchesTheModel()
{
    // The strands are rasterised by the GPU alone; from the scene they drew on, every full-screen
    // pass is modelled on the CPU, rounding to 8 bits where the GPU stores its images.
    visual::Animation animation;
    for (int hop = 0; hop < 30; ++hop)
        animation.step(frameOf(0.7f, 1.0f));
    // Unit gains for the glow and the rays: a level lost in an 8-bit image then stays one level.
    visual::Look look = animation.look();
    look.post.intensity = 1.0f;
    look.post.radialBlur = 1.0f / 8.0f;
    Picture got;
    QVERIFY(render(look, 0.0f, &got));
    Image scene;
    QVERIFY2(readImage(frame_->renderer().image(0), &scene), "cannot read the scene back as RGBA8");

    const visual::PostUniforms& u = look.post;
    const ModelChain model = modelChain(u, scene);
    // Tolerance: the model filters in float while the rasterisers blend 8-bit texels with 8-bit
    // weights, so each stored image can be a level off where a value lies near a rounding edge.
    // The composite adds three images (scene, bloom, rays) at unit gain and rounds once more:
    // three levels at most (seen on both back ends: 3, with 2% of the channels beyond 1).
    int worst = 0, beyondOne = 0;
    QString worstAt;
    for (int row = 0; row < kHeight; ++row) {
        for (int column = 0; column < kWidth; ++column) {
            const Vec4 m = composite(postBlock(u, scene, 0), scene, Filter::Nearest, model.bloom,
                model.rays, Filter::Linear, fullscreenUv(column, row, kWidth, kHeight));
            const float want[4] = { m.x, m.y, m.z, m.w };
            for (int c = 0; c < 3; ++c) {
                const int expected = int(std::lround(std::clamp(want[c], 0.0f, 1.0f) * 255.0f));
                const int d = std::abs(got.at(column, row, c) - expected);
                beyondOne += d > 1;
                if (d > worst) {
                    worst = d;
                    worstAt = QStringLiteral("pixel (%1, %2) channel %3: %4, model %5")
                                  .arg(column)
                                  .arg(row)
                                  .arg(c)
                                  .arg(got.at(column, row, c))
                                  .arg(expected);
                }
            }
        }
    }
    qInfo("largest difference from the model: %d of 255 (%s); %d channels beyond 1", worst,
        qPrintable(worstAt), beyondOne);
    QVERIFY2(worst <= 3, qPrintable(worstAt));
    // The model must have something to match: a dark picture would pass trivially.
    QVERIFY2(meanLevel(got) > 2.0, qPrintable(QString::number(meanLevel(got))));
}

void tst_VisualRender::strandsMovedUpLightOnlyTheTopHalf()
{
    visual::Look look = visual::lookOf(frameOf(0.2f, 1.0f), 0.4f);
    // Pushed up by 0.75 of the half-height, the strands lie well inside the top half. The glow's
    // blur runs on quarter-size images and spills a few rows further, so the check starts an eighth
    // of the height below the middle; an upside-down glow or rays would light the bottom half as
    // brightly as the top.
    Picture full, sharp;
    QVERIFY(render(look, 0.75f, &full));
    for (int y = kHeight / 2 + kHeight / 8; y < kHeight; ++y)
        for (int x = 0; x < kWidth; ++x)
            QVERIFY2(full.brightest(x, y) == 0,
                qPrintable(QStringLiteral("pixel (%1, %2) in the bottom half is lit: %3")
                               .arg(x)
                               .arg(y)
                               .arg(full.brightest(x, y))));
    QVERIFY2(litRows(full) > 3, "nothing drawn in the top half");

    // The bloom is what the full picture has beyond the sharp one; it must lie on the strands.
    look.post.intensity = 0.0f;
    QVERIFY(render(look, 0.75f, &sharp));
    double bloomRow = 0, bloomWeight = 0, sceneRow = 0, sceneWeight = 0;
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            const double s = sharp.at(x, y, 1);
            const double b = std::max(0, full.at(x, y, 1) - sharp.at(x, y, 1));
            sceneRow += s * y;
            sceneWeight += s;
            bloomRow += b * y;
            bloomWeight += b;
        }
    }
    QVERIFY2(bloomWeight > 0, "no bloom");
    sceneRow /= sceneWeight;
    bloomRow /= bloomWeight;
    // Blurring spreads the glow, but its centre stays within a tenth of the height of the strands'.
    QVERIFY2(std::fabs(bloomRow - sceneRow) < 0.1 * kHeight,
        qPrintable(QStringLiteral("bloom centred on row %1, strands on row %2")
                       .arg(bloomRow)
                       .arg(sceneRow)));
}

void tst_VisualRender::loudMusicBrightensAndWidens()
{
    Picture silent, loud;
    QVERIFY(render(visual::lookOf(frameOf(0.0f, 0.0f), 0.4f), 0.0f, &silent));
    QVERIFY(render(visual::lookOf(frameOf(0.9f, 1.0f), 0.4f), 0.0f, &loud));
    const double quietLevel = meanLevel(silent), loudLevel = meanLevel(loud);
    const int quietRows = litRows(silent), loudRows = litRows(loud);
    qInfo("silence: mean level %.2f, %d lit rows; loud: %.2f, %d", quietLevel, quietRows, loudLevel,
        loudRows);
    QVERIFY2(loudLevel > 2.0 * quietLevel,
        qPrintable(QStringLiteral("mean level %1 loud, %2 silent").arg(loudLevel).arg(quietLevel)));
    QVERIFY2(loudRows > quietRows,
        qPrintable(QStringLiteral("%1 lit rows loud, %2 silent").arg(loudRows).arg(quietRows)));
    QVERIFY2(quietLevel > 0.0, "silence draws nothing at all");
}

void tst_VisualRender::presenceZeroDims()
{
    Picture absent, present;
    QVERIFY(render(visual::lookOf(frameOf(0.5f, 0.0f), 0.4f), 0.0f, &absent));
    QVERIFY(render(visual::lookOf(frameOf(0.5f, 1.0f), 0.4f), 0.0f, &present));
    QVERIFY2(meanLevel(absent) < 0.8 * meanLevel(present),
        qPrintable(QStringLiteral("mean level %1 without presence, %2 with")
                       .arg(meanLevel(absent))
                       .arg(meanLevel(present))));
}

void tst_VisualRender::sameLookSameBytes()
{
    const visual::Look look = visual::lookOf(frameOf(0.6f, 1.0f), 2.0f);
    Picture a, b;
    QVERIFY(render(look, 0.0f, &a));
    QVERIFY(render(visual::lookOf(frameOf(0.1f, 0.0f), 5.0f), 0.0f, &b));
    QVERIFY(render(look, 0.0f, &b));
    QVERIFY(a.rgba == b.rgba);
}

void tst_VisualRender::loudFigureFillsTheLongerSide_data()
{
    QTest::addColumn<QSize>("size");
    QTest::newRow("1:1") << QSize(108, 108);
    QTest::newRow("16:9") << QSize(192, 108);
    QTest::newRow("21:9") << QSize(252, 108);
    QTest::newRow("32:9") << QSize(384, 108);
    QTest::newRow("9:16") << QSize(108, 192);
    QTest::newRow("9:21") << QSize(108, 252);
    QTest::newRow("9:32") << QSize(108, 384);
}

void tst_VisualRender::loudFigureFillsTheLongerSide()
{
    // The lit span as docs/visualiser.md measures it: the columns (rows, upright) that any picture
    // of 0.2 s of a loud passage lights, the glow included.
    QFETCH(QSize, size);
    const bool upright = size.height() > size.width();
    const int length = std::max(size.width(), size.height());
    visual::OffscreenFrame frame(host_.rhi());
    QString why;
    QVERIFY2(frame.setup(size, visual::kDefaultSampleCount, &why), qPrintable(why));
    // As loud as the demo's pink noise (energy 0.6); the clock runs at that loudness's speed.
    const dsp::SpectrumFrame loud = frameOf(0.75f, 1.0f);
    const float radPerHop = (visual::kBaseSpeedRadPerSec
                                + visual::kEnergySpeedRadPerSec * visual::featuresOf(loud).energy)
        * dsp::kFrameSec;
    // 0.2 s as a video at 30 pictures per second shows it: every other hop.
    constexpr int kPictures = 6;
    // Moments where the noise swings the ribbons differently.
    for (float start : { 0.4f, 2.0f, 5.0f, 9.0f }) {
        int first = length, last = -1;
        for (int hop = 0; hop < 2 * kPictures; hop += 2) {
            Picture p { size.width(), size.height(), {} };
            const float time = start + float(hop) * radPerHop;
            QVERIFY2(frame.render(visual::lookOf(loud, time), &p.rgba, &why), qPrintable(why));
            for (int y = 0; y < p.height; ++y) {
                for (int x = 0; x < p.width; ++x) {
                    if (p.brightest(x, y) <= kLitLevel)
                        continue;
                    first = std::min(first, upright ? y : x);
                    last = std::max(last, upright ? y : x);
                    QVERIFY2(x > 0 && y > 0 && x < p.width - 1 && y < p.height - 1,
                        qPrintable(QStringLiteral("hop %1 from time %2: lit at the edge, (%3, %4)")
                                       .arg(hop)
                                       .arg(start)
                                       .arg(x)
                                       .arg(y)));
                }
            }
        }
        const double span = double(last - first + 1) / length;
        QVERIFY2(span >= 0.85,
            qPrintable(QStringLiteral("from time %1: lit from %2 to %3 of %4 along the longer side "
                                      "(%5 %)")
                           .arg(start)
                           .arg(first)
                           .arg(last)
                           .arg(length)
                           .arg(100.0 * span, 0, 'f', 1)));
    }
}

void tst_VisualRender::steepStrandIsContinuous()
{
    // One untwisted ribbon under a pixel wide, upright in a tall picture, swung almost straight
    // towards the eye: what its radius does moves it only a little sideways, so it climbs steeply
    // through the rows of its untapered middle. Sampled once per pixel it breaks into dashes.
    visual::Look look = visual::lookOf(frameOf(0.0f, 1.0f), 1.27f); // a quarter turn less 0.3
    look.strands.strandCount = 1.0f;
    look.strands.twists = 0.0f;
    look.strands.thickness = 0.053f; // 0.8 pixels across 60 columns, from the camera's distance
    Picture p;
    QVERIFY(renderStrands(QSize(60, 200), visual::kDefaultSampleCount, look, &p));
    QString dark;
    for (int y = p.height * 3 / 10; y < p.height * 7 / 10; ++y) {
        int brightest = 0;
        for (int x = 0; x < p.width; ++x)
            brightest = std::max(brightest, p.brightest(x, y));
        if (brightest <= kLitLevel)
            dark += QString::number(y) + QLatin1Char(' ');
    }
    QVERIFY2(dark.isEmpty(), qPrintable(QStringLiteral("dark rows: %1").arg(dark)));
}

void tst_VisualRender::memoryStaysFlatFromPictureToPicture()
{
    if (kAddressSanitizer)
        QSKIP("the address sanitizer keeps freed memory in quarantine");
    // The look changes with every picture, as when music plays.
    visual::Animation animation;
    Picture picture;
    long afterWarmUp = 0;
    for (int i = 1; i <= 4 * kWarmPictures; ++i) {
        animation.step(frameOf(float(i % 10) / 10.0f, 1.0f));
        QVERIFY(render(animation.look(), 0.0f, &picture));
        if (i == kWarmPictures)
            afterWarmUp = residentKb();
    }
    const long end = residentKb();
    QVERIFY2(afterWarmUp > 0, "cannot read /proc/self/statm");
    qInfo("resident after %d pictures: %ld KB, after %d: %ld KB", kWarmPictures, afterWarmUp,
        4 * kWarmPictures, end);
    QVERIFY2(end - afterWarmUp < kResidentToleranceKb,
        qPrintable(QStringLiteral("resident memory grew by %1 KB from picture %2 to %3")
                       .arg(end - afterWarmUp)
                       .arg(kWarmPictures)
                       .arg(4 * kWarmPictures)));
}

void tst_VisualRender::autoTakesOpenGlEsOnACpuDevice()
{
    if (backend_ != visual::Backend::Vulkan)
        QSKIP("needs the Vulkan back end's own report of its device");
    // The choice is made before any QRhi exists; it must agree with what QRhi reports.
    const QRhiDriverInfo info = host_.rhi()->driverInfo();
    const visual::Backend expected = info.deviceType == QRhiDriverInfo::CpuDevice
        ? visual::Backend::Gles
        : visual::Backend::Vulkan;
    QVERIFY2(visual::resolveBackend(visual::Backend::Auto) == expected,
        qPrintable(QStringLiteral("device '%1' of type %2: auto chose %3")
                       .arg(QString::fromLatin1(info.deviceName))
                       .arg(int(info.deviceType))
                       .arg(QLatin1String(
                           visual::backendName(visual::resolveBackend(visual::Backend::Auto))))));
}

int main(int argc, char** argv)
{
    return rendertest::main<tst_VisualRender>(argc, argv);
}

#include "tst_visualrender.moc"
