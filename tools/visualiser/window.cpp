#include "window.h"

#include "playback.h"

#ifdef VISUALISER_CAPTURE
#include "capture/capturesource.h"
#include "capture/hoppacer.h"
#endif
#include "programme.h"

#include "dsp/spectrumanalyzer.h"
#include "media/hopclock.h"
#include "visual/look.h"
#include "visual/renderer.h"

#include <QtGui/private/qrhigles2_p.h>
#include <QtGui/private/qrhivulkan_p.h>

#include <QElapsedTimer>
#include <QKeyEvent>
#include <QOffscreenSurface>
#include <QPlatformSurfaceEvent>
#include <QVulkanInstance>
#include <QWindow>

#include <cstdio>
#include <memory>

namespace visualiser {

namespace {

    constexpr int kExitBadInput = 2;
    constexpr int kMinWindowSide = 64;
    // A stall longer than this (a dragged window, a suspended machine) is skipped, not caught up.
    constexpr int kMaxCatchUpHops = 120;
    // Captured audio more than this many hops ahead of the picture is dropped.
    constexpr int kMaxBacklogHops = 6;

    // The analysis follows a position in the programme, one hop per 1/60 s of it.
    class Follower {
    public:
        explicit Follower(const Programme& programme)
            : programme_(programme)
            , clock_(programme.rateHz)
            , hop_(size_t(clock_.largestHop()))
        {
            analyzer_.configure(programme.rateHz);
        }

        // Analyses every hop that ends at or before samplePosition.
        void advanceTo(std::int64_t samplePosition)
        {
            int hops = 0;
            while (read_ + nextHop() <= samplePosition) {
                const int count = clock_.next();
                for (int i = 0; i < count; ++i) {
                    const std::int64_t at = read_ + i;
                    hop_[size_t(i)] = at < std::int64_t(programme_.samples.size())
                        ? programme_.samples[size_t(at)]
                        : 0.0f;
                }
                read_ += count;
                analyzer_.pushSamples(hop_.data(), unsigned(count));
                if (!analyzer_.process(frame_))
                    frame_ = dsp::SpectrumFrame {};
                animation_.step(frame_);
                if (++hops >= kMaxCatchUpHops) {
                    // Skip the rest of a long stall without analysing it.
                    read_ = std::max(read_, samplePosition);
                    break;
                }
            }
        }
        const visual::Look& look() const { return animation_.look(); }

    private:
        int nextHop() const
        {
            return (programme_.rateHz + dsp::kFrameRateHz - 1) / dsp::kFrameRateHz;
        }

        const Programme& programme_;
        media::HopClock clock_;
        dsp::SpectrumAnalyzer analyzer_;
        dsp::SpectrumFrame frame_;
        visual::Animation animation_;
        std::vector<float> hop_;
        std::int64_t read_ = 0;
    };

    // What the window draws from: each picture asks for the look of the moment.
    class Feed {
    public:
        virtual ~Feed() = default;
        virtual const visual::Look& look(bool paused) = 0;
        virtual void setPaused(bool paused) = 0;
    };

    // A programme heard through the sound server, or kept on the wall clock where there is none.
    class ProgrammeFeed : public Feed {
    public:
        ProgrammeFeed(const Programme& programme, Playback* playback)
            : follower_(programme)
            , playback_(playback)
            , rate_(programme.rateHz)
        {
            clock_.start();
        }
        const visual::Look& look(bool paused) override
        {
            if (!paused)
                follower_.advanceTo(position());
            return follower_.look();
        }
        void setPaused(bool paused) override
        {
            if (playback_)
                playback_->setPaused(paused);
            if (paused)
                pausedAtMs_ = clock_.elapsed();
            else
                pausedMs_ += clock_.elapsed() - pausedAtMs_;
            paused_ = paused;
        }

    private:
        std::int64_t position() const
        {
            if (playback_)
                return playback_->heardSamples();
            const qint64 ms = (paused_ ? pausedAtMs_ : clock_.elapsed()) - pausedMs_;
            return std::int64_t(ms) * rate_ / 1000;
        }

        Follower follower_;
        Playback* playback_;
        int rate_;
        QElapsedTimer clock_;
        bool paused_ = false;
        qint64 pausedAtMs_ = 0;
        qint64 pausedMs_ = 0;
    };

#ifdef VISUALISER_CAPTURE
    // Live capture: one display frame of hops per 1/60 s of the wall clock, paced from the ring.
    class CaptureFeed : public Feed {
    public:
        explicit CaptureFeed(capture::CaptureSource& source)
            : source_(source)
            , pacer_(source.ring(), source.sampleRate())
            , hops_(size_t(capture::kMaxHopsPerFrame * pacer_.largestHop()))
            , drain_(size_t(source.ring().capacity()))
        {
            analyzer_.configure(source.sampleRate());
            clock_.start();
        }
        const visual::Look& look(bool paused) override
        {
            const std::int64_t due = clock_.nsecsElapsed() * dsp::kFrameRateHz / 1000000000;
            if (paused) {
                ticks_ = due;
                // What arrives meanwhile is stale once the picture moves again.
                source_.ring().read(drain_.data(), int(drain_.size()));
                return animation_.look();
            }
            // A stall longer than this (a dragged window) is skipped, not caught up.
            if (due - ticks_ > kMaxCatchUpHops)
                ticks_ = due - kMaxCatchUpHops;
            // A backlog (the server delivering a burst, a stall) would keep the picture behind
            // what is heard for good, as the pacer catches up by one hop per frame at most:
            // drop all but the newest hop and cushion.
            const int keep = pacer_.largestHop() + pacer_.cushionSamples();
            const int backlog = source_.ring().available() - keep;
            if (backlog > kMaxBacklogHops * pacer_.largestHop())
                source_.ring().read(drain_.data(), std::min(backlog, int(drain_.size())));
            for (; ticks_ < due; ++ticks_) {
                const capture::HopPacer::Frame frame = pacer_.next(hops_.data());
                const float* at = hops_.data();
                for (int h = 0; h < frame.hops; ++h) {
                    analyzer_.pushSamples(at, unsigned(frame.hopSize[h]));
                    at += frame.hopSize[h];
                    if (!analyzer_.process(spectrum_))
                        spectrum_ = dsp::SpectrumFrame {};
                    animation_.step(spectrum_);
                }
            }
            return animation_.look();
        }
        void setPaused(bool) override { }

    private:
        capture::CaptureSource& source_;
        capture::HopPacer pacer_;
        std::vector<float> hops_;
        std::vector<float> drain_;
        dsp::SpectrumAnalyzer analyzer_;
        dsp::SpectrumFrame spectrum_;
        visual::Animation animation_;
        QElapsedTimer clock_;
        std::int64_t ticks_ = 0;
    };
#endif

    class VisualWindow : public QWindow {
    public:
        VisualWindow(QRhi::Implementation api, QVulkanInstance* vulkan, Feed& feed)
            : api_(api)
            , feed_(feed)
        {
            setSurfaceType(api == QRhi::Vulkan ? VulkanSurface : OpenGLSurface);
            if (vulkan)
                setVulkanInstance(vulkan);
            setMinimumSize(QSize(kMinWindowSide, kMinWindowSide));
        }

        QString error() const { return error_; }

    protected:
        void exposeEvent(QExposeEvent*) override
        {
            if (isExposed() && !rhi_ && !initialise()) {
                QGuiApplication::exit(kExitBadInput);
                return;
            }
            if (isExposed() && rhi_) {
                if (sc_->surfacePixelSize() != sc_->currentPixelSize() || !ready_)
                    resizeSwapChain();
                render();
            }
        }

        bool event(QEvent* e) override
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

        void keyPressEvent(QKeyEvent* e) override
        {
            switch (e->key()) {
            case Qt::Key_Q:
            case Qt::Key_Escape:
                close();
                break;
            case Qt::Key_F:
            case Qt::Key_F11:
                setWindowStates(windowStates() ^ Qt::WindowFullScreen);
                break;
            case Qt::Key_Space:
                togglePause();
                break;
            default:
                QWindow::keyPressEvent(e);
            }
        }

    private:
        bool initialise()
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
            sc_.reset(rhi_->newSwapChain());
            sc_->setWindow(this);
            renderPass_.reset(sc_->newCompatibleRenderPassDescriptor());
            sc_->setRenderPassDescriptor(renderPass_.get());
            renderer_ = std::make_unique<visual::Renderer>(rhi_.get());
            return true;
        }

        void resizeSwapChain()
        {
            ready_ = sc_->createOrResize();
            if (!ready_)
                return;
            QString why;
            // A swap chain whose framebuffer has y up keeps its bottom row in memory row 0.
            ready_ = renderer_->setup(sc_->currentPixelSize(), renderPass_.get(),
                !rhi_->isYUpInFramebuffer(), visual::kDefaultSampleCount, &why);
            if (!ready_) {
                error_ = why;
                QGuiApplication::exit(kExitBadInput);
            }
        }

        void release()
        {
            renderer_.reset();
            renderPass_.reset();
            sc_.reset();
            rhi_.reset();
            ready_ = false;
        }

        void togglePause()
        {
            paused_ = !paused_;
            feed_.setPaused(paused_);
        }

        void render()
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
            renderer_->record(sc_->currentFrameCommandBuffer(), sc_->currentFrameRenderTarget(),
                feed_.look(paused_));
            rhi_->endFrame(sc_.get());
            requestUpdate();
        }

        QRhi::Implementation api_;
        Feed& feed_;
        QString error_;
        std::unique_ptr<QOffscreenSurface> fallback_;
        std::unique_ptr<QRhi> rhi_;
        std::unique_ptr<QRhiSwapChain> sc_;
        std::unique_ptr<QRhiRenderPassDescriptor> renderPass_;
        std::unique_ptr<visual::Renderer> renderer_;
        bool ready_ = false;
        bool paused_ = false;
    };

} // namespace

QString windowProblem()
{
    const bool platformGiven = qEnvironmentVariableIsSet("QT_QPA_PLATFORM");
    const bool wayland = qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    if (!platformGiven && !wayland && !qEnvironmentVariableIsSet("DISPLAY"))
        return QStringLiteral(
            "no display to open a window on (use --render OUT to render off-line)");
    if (!platformGiven && !wayland)
        qputenv("QT_QPA_PLATFORM", "xcb;minimal");
    return {};
}

int runWindow(const Options& o, QGuiApplication& app)
{
    if (QGuiApplication::platformName() == QLatin1String("minimal")) {
        std::fprintf(
            stderr, "visualiser: cannot open the display '%s'\n", qgetenv("DISPLAY").constData());
        return kExitBadInput;
    }
    QVulkanInstance vulkan;
    const visual::Backend backend = visual::resolveBackend(o.backend);
    if (backend == visual::Backend::Vulkan) {
        vulkan.setExtensions(QRhiVulkanInitParams::preferredInstanceExtensions());
        if (!vulkan.create()) {
            const QString why = visual::unavailable(
                backend, QStringLiteral("no Vulkan device (VkResult %1)").arg(vulkan.errorCode()));
            std::fprintf(stderr, "visualiser: %s\n", why.toLocal8Bit().constData());
            return kExitBadInput;
        }
    }
    const QRhi::Implementation api
        = backend == visual::Backend::Vulkan ? QRhi::Vulkan : QRhi::OpenGLES2;

    Programme programme;
    std::unique_ptr<Playback> playback;
#ifdef VISUALISER_CAPTURE
    std::unique_ptr<capture::CaptureSource> source;
#endif
    std::unique_ptr<Feed> feed;
    QString title;
#ifdef VISUALISER_CAPTURE
    if (o.capture) {
        source = capture::createCaptureSource("visualiser");
        std::string error;
        const std::string name = o.captureSource.isEmpty() ? std::string(capture::kDefaultMonitor)
                                                           : o.captureSource.toStdString();
        if (!source->start(name, &error)) {
            std::fprintf(stderr, "visualiser: %s\n", error.c_str());
            return kExitBadInput;
        }
        feed = std::make_unique<CaptureFeed>(*source);
        title
            = QStringLiteral("visualiser: %1").arg(QString::fromStdString(source->status().source));
    } else
#else
    if (o.capture) {
        std::fprintf(stderr,
            "visualiser: this visualiser was built without live capture (BANDCORE_CAPTURE=OFF)\n");
        return kExitBadInput;
    } else
#endif
    {
        QString why;
        if (!loadProgramme(o.input, &programme, &why)) {
            std::fprintf(stderr, "visualiser: %s\n", why.toLocal8Bit().constData());
            return kExitBadInput;
        }
        if (!programme.warning.isEmpty())
            std::fprintf(stderr, "visualiser: %s\n", programme.warning.toLocal8Bit().constData());
        playback = std::make_unique<Playback>(programme.samples, programme.rateHz);
        QString noSound;
        if (!playback->start(&noSound)) {
            std::fprintf(stderr, "visualiser: %s; playing without sound\n",
                noSound.toLocal8Bit().constData());
            playback.reset();
        }
        feed = std::make_unique<ProgrammeFeed>(programme, playback.get());
        title = programme.demo ? QStringLiteral("visualiser: demo")
                               : QStringLiteral("visualiser: %1").arg(o.input);
    }

    VisualWindow window(api, api == QRhi::Vulkan ? &vulkan : nullptr, *feed);
    window.setTitle(title);
    window.resize(o.size);
    window.show();
    const int status = app.exec();
#ifdef VISUALISER_CAPTURE
    if (source)
        source->stop();
#endif
    if (!window.error().isEmpty()) {
        std::fprintf(stderr, "visualiser: %s\n", window.error().toLocal8Bit().constData());
        return kExitBadInput;
    }
    return status;
}

} // namespace visualiser
