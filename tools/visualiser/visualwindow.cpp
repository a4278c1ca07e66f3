#include "visualwindow.h"

#include "shell/status.h"
#include "shell/text.h"
#include "visual/headless.h"

#include <QGuiApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPlatformSurfaceEvent>
#include <QScreen>

#include <vector>

namespace visualiser {

namespace {

    constexpr int kMinWindowSide = 64;
    // Once the music has been absent this long the window draws at the resting rate, while the
    // analysis still runs every tick, so that the first hop with sound brings the full rate back.
    constexpr qint64 kRestAfterMs = 10000;
    constexpr qint64 kRestingPictureMs = 200;
    constexpr int kTickMs = 16;

} // namespace

VisualWindow::VisualWindow(
    QRhi::Implementation api, QVulkanInstance* vulkan, LookSource& source, int msaa, bool msaaNamed)
    : api_(api)
    , source_(source)
    , msaa_(msaa)
    , msaaNamed_(msaaNamed)
{
    setSurfaceType(api == QRhi::Vulkan ? VulkanSurface : OpenGLSurface);
    if (vulkan)
        setVulkanInstance(vulkan);
    setMinimumSize(QSize(kMinWindowSide, kMinWindowSide));
    tick_.setSingleShot(true);
    QObject::connect(&tick_, &QTimer::timeout, [this] { tick(); });
    clock_.start();
}

bool VisualWindow::prepare()
{
    create();
    if (!initialise())
        return false;
    resizeSwapChain();
    return error_.isEmpty();
}

void VisualWindow::togglePause()
{
    paused_ = !paused_;
    source_.setPaused(paused_);
    if (governor_)
        governor_->interrupt();
    // Paused, the picture stands still and nothing is drawn until the screen needs it.
    if (!paused_)
        requestUpdate();
}

void VisualWindow::exposeEvent(QExposeEvent*)
{
    if (!isExposed() && governor_)
        governor_->interrupt();
    if (isExposed() && !rhi_ && !initialise()) {
        QGuiApplication::exit(shell::kExitBadInput);
        return;
    }
    if (isExposed() && fullScreenWhenShown_) {
        fullScreenWhenShown_ = false;
        setWindowStates(windowStates() | Qt::WindowFullScreen);
    }
    if (isExposed() && rhi_) {
        if (sc_->surfacePixelSize() != sc_->currentPixelSize() || !ready_)
            resizeSwapChain();
        render();
    }
}

bool VisualWindow::event(QEvent* e)
{
    if (e->type() == QEvent::UpdateRequest) {
        render();
        return true;
    }
    if (e->type() == QEvent::PlatformSurface
        && static_cast<QPlatformSurfaceEvent*>(e)->surfaceEventType()
            == QPlatformSurfaceEvent::SurfaceAboutToBeDestroyed) {
        release();
    }
    return QWindow::event(e);
}

void VisualWindow::keyPressEvent(QKeyEvent* e)
{
    switch (e->key()) {
    case Qt::Key_Q:
    case Qt::Key_Escape:
        close();
        break;
    case Qt::Key_F:
    case Qt::Key_F11:
        toggleFullScreen();
        break;
    case Qt::Key_Space:
        togglePause();
        break;
    default:
        if (!keys_ || !keys_(e->key()))
            QWindow::keyPressEvent(e);
    }
}

void VisualWindow::mouseDoubleClickEvent(QMouseEvent* e)
{
    if (e->button() == Qt::LeftButton)
        toggleFullScreen();
}

bool VisualWindow::initialise()
{
    if (api_ == QRhi::Vulkan) {
        QRhiVulkanInitParams params;
        params.inst = vulkanInstance();
        params.window = this;
        rhi_.reset(QRhi::create(QRhi::Vulkan, &params));
    } else {
        fallback_.reset(QRhiGles2InitParams::newFallbackSurface());
        QRhiGles2InitParams params;
        params.fallbackSurface = fallback_.get();
        params.window = this;
        rhi_.reset(QRhi::create(QRhi::OpenGLES2, &params));
    }
    if (!rhi_) {
        error_ = visual::unavailable(
            api_ == QRhi::Vulkan ? visual::Backend::Vulkan : visual::Backend::Gles,
            QStringLiteral("the graphics back end did not start in the window"));
        return false;
    }
    prediction_.setFramesInFlight(rhi_->resourceLimit(QRhi::FramesInFlight));
    sc_.reset(rhi_->newSwapChain());
    // Each buffer beyond the fewest holds a finished picture back from the screen.
    sc_->setFlags(QRhiSwapChain::MinimalBufferCount);
    sc_->setWindow(this);
    renderPass_.reset(sc_->newCompatibleRenderPassDescriptor());
    sc_->setRenderPassDescriptor(renderPass_.get());
    renderer_ = std::make_unique<visual::Renderer>(rhi_.get());
    renderer_->setPalette(palette_);
    const QList<int> supported = rhi_->supportedSampleCounts();
    const int used = visual::nearestSampleCount(supported, msaa_);
    if (used != msaa_)
        shell::complain(visual::sampleCountNote(msaa_, used).toStdString());
    msaa_ = used;
    governor_
        = std::make_unique<SampleGovernor>(std::vector<int>(supported.cbegin(), supported.cend()),
            used, msaaNamed_, screen() ? screen()->refreshRate() : 0.0);
    return true;
}

void VisualWindow::setPalette(const visual::Palette& palette)
{
    palette_ = palette;
    if (renderer_)
        renderer_->setPalette(palette);
    requestUpdate();
}

void VisualWindow::resizeSwapChain()
{
    // The picture after a rebuild is slow for its own reasons.
    governor_->interrupt();
    ready_ = sc_->createOrResize();
    if (ready_)
        setupRenderer();
}

void VisualWindow::setupRenderer()
{
    QString why;
    // A swap chain whose framebuffer has y up keeps its bottom row in memory row 0.
    ready_ = renderer_->setup(
        sc_->currentPixelSize(), renderPass_.get(), !rhi_->isYUpInFramebuffer(), msaa_, &why);
    if (!ready_) {
        error_ = why;
        QGuiApplication::exit(shell::kExitBadInput);
    }
}

void VisualWindow::release()
{
    governor_.reset();
    renderer_.reset();
    renderPass_.reset();
    sc_.reset();
    rhi_.reset();
    ready_ = false;
}

void VisualWindow::advance()
{
    if (paused_)
        return;
    source_.advance(prediction_.leadMs());
    if (source_.presence() > 0)
        heardMs_ = clock_.elapsed();
}

bool VisualWindow::resting() const
{
    return clock_.elapsed() - heardMs_ >= kRestAfterMs;
}

void VisualWindow::scheduleNext()
{
    if (paused_)
        return;
    if (resting())
        tick_.start(kTickMs);
    else
        requestUpdate();
}

void VisualWindow::tick()
{
    advance();
    if (!resting() || clock_.elapsed() - pictureMs_ >= kRestingPictureMs)
        render();
    else
        tick_.start(kTickMs);
}

void VisualWindow::render()
{
    if (!rhi_ || !isExposed())
        return;
    if (!ready_ || sc_->currentPixelSize() != sc_->surfacePixelSize()) {
        resizeSwapChain();
        if (!ready_)
            return;
    }
    QRhi::FrameOpResult r = rhi_->beginFrame(sc_.get());
    if (r == QRhi::FrameOpSwapChainOutOfDate) {
        resizeSwapChain();
        if (!ready_)
            return;
        r = rhi_->beginFrame(sc_.get());
    }
    if (r != QRhi::FrameOpSuccess) {
        requestUpdate();
        return;
    }
    const qint64 began = clock_.nsecsElapsed();
    advance();
    renderer_->record(
        sc_->currentFrameCommandBuffer(), sc_->currentFrameRenderTarget(), source_.look());
    rhi_->endFrame(sc_.get());
    prediction_.frameDrawn(began, clock_.nsecsElapsed());
    pictureMs_ = clock_.elapsed();
    if (paused_ || resting())
        governor_->interrupt();
    else if (governor_->presented(double(clock_.nsecsElapsed()) / 1e6))
        stepSamplesDown();
    scheduleNext();
}

void VisualWindow::stepSamplesDown()
{
    shell::complain(QStringLiteral("%1x multisampling draws only %2 pictures/s here; using %3x")
                        .arg(msaa_)
                        .arg(qRound(governor_->slowRate()))
                        .arg(governor_->count())
                        .toStdString());
    msaa_ = governor_->count();
    setupRenderer();
}

} // namespace visualiser
