#include "window.h"

#include "mpris.h"
#include "playback.h"
#include "player.h"
#include "presentprediction.h"
#include "samplegovernor.h"

#ifdef VISUALISER_CAPTURE
#include "capture/livefeed.h"
#endif

#include "dsp/spectrumanalyzer.h"
#include "media/hopclock.h"
#include "qtrhi/qtrhi.h"
#include "shell/signals.h"
#include "shell/status.h"
#include "shell/text.h"
#include "visual/look.h"
#include "visual/renderer.h"

#include <QDir>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QOffscreenSurface>
#include <QPlatformSurfaceEvent>
#include <QScreen>
#include <QTimer>
#include <QVulkanInstance>
#include <QWindow>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

namespace visualiser {

namespace {

    using shell::kExitBadInput;
    constexpr int kMinWindowSide = 64;
    // A stall longer than this (a dragged window, a suspended machine) is skipped, not caught up.
    constexpr int kMaxCatchUpHops = 120;
    // Once the music has been absent this long the window draws at the resting rate, while the
    // analysis still runs every tick, so that the first hop with sound brings the full rate back.
    constexpr qint64 kRestAfterMs = 10000;
    constexpr qint64 kRestingPictureMs = 200;
    constexpr int kTickMs = 16;

    // The analysis follows a position in the programme, one hop per 1/60 s of it, on the mono
    // mix that the playback wrote.
    class Follower {
    public:
        Follower(int rateHz, const Playback& playback)
            : playback_(playback)
            , clock_(rateHz)
            , hop_(size_t(clock_.largestHop()))
        {
            analyzer_.configure(rateHz);
        }

        // Analyses every hop that ends at or before samplePosition.
        void advanceTo(std::int64_t samplePosition)
        {
            int hops = 0;
            while (read_ + clock_.largestHop() <= samplePosition) {
                const int count = clock_.next();
                playback_.monoAt(read_, hop_.data(), count);
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
        float presence() const { return frame_.presence; }

    private:
        const Playback& playback_;
        media::HopClock clock_;
        dsp::SpectrumAnalyzer analyzer_;
        dsp::SpectrumFrame frame_;
        visual::Animation animation_;
        std::vector<float> hop_;
        std::int64_t read_ = 0;
    };

    // What the window draws from: before each picture the window advances it to the moment the
    // picture will show, leadMs from now; never while paused.
    class Feed {
    public:
        virtual ~Feed() = default;
        virtual void advance(double leadMs) = 0;
        virtual const visual::Look& look() const = 0;
        virtual float presence() const = 0;
        virtual void setPaused(bool paused) = 0;
    };

    // A programme as its playback plays it: through the sound server, or on the wall clock where
    // there is none.
    class ProgrammeFeed {
    public:
        ProgrammeFeed(const media::Feed& feed, Playback& playback)
            : follower_(feed.sampleRate(), playback)
            , playback_(playback)
            , rate_(feed.sampleRate())
        {
        }
        void advance(double leadMs)
        {
            // The hop nearest the moment, not the last one ended before it.
            const std::int64_t at = playback_.heardSamples() + std::int64_t(leadMs * rate_ / 1000.0)
                + rate_ / dsp::kFrameRateHz / 2;
            // What is about to be heard has been written, unless the playback fell behind: then
            // the picture waits rather than show silence that was never played.
            follower_.advanceTo(std::min(at, playback_.writtenSamples()));
        }
        const visual::Look& look() const { return follower_.look(); }
        float presence() const { return follower_.presence(); }

    private:
        Follower follower_;
        Playback& playback_;
        int rate_;
    };

    // The player's current track, analysed afresh whenever what plays changes (a track or a seek).
    // The player ends the run itself once the last track has been heard.
    class TrackFeed : public Feed {
    public:
        explicit TrackFeed(Player& player)
            : player_(player)
        {
            follow();
        }
        void advance(double leadMs) override
        {
            if (generation_ != player_.generation())
                follow();
            current_->advance(leadMs);
        }
        const visual::Look& look() const override { return current_->look(); }
        float presence() const override { return current_->presence(); }
        void setPaused(bool paused) override { player_.setPaused(paused); }

    private:
        void follow()
        {
            current_ = std::make_unique<ProgrammeFeed>(player_.programme(), *player_.playback());
            generation_ = player_.generation();
        }

        Player& player_;
        std::unique_ptr<ProgrammeFeed> current_;
        int generation_ = 0;
    };

#ifdef VISUALISER_CAPTURE
    // Live capture, paced as every live feed is: the hops of each 1/60 s tick gone by, taken
    // without waiting. While paused nothing is read; the feed then drops the stale backlog.
    class CaptureFeed : public Feed {
    public:
        explicit CaptureFeed(capture::LiveFeed& live)
            : live_(live)
            , hop_(size_t(media::HopClock(live.sampleRate()).largestHop()))
            , clock_(live.sampleRate())
        {
            analyzer_.configure(live.sampleRate());
        }
        void advance(double) override
        {
            while (live_.due()) {
                const int count = clock_.next();
                live_.read(hop_.data(), count, nullptr);
                analyzer_.pushSamples(hop_.data(), unsigned(count));
                if (!analyzer_.process(spectrum_))
                    spectrum_ = dsp::SpectrumFrame {};
                animation_.step(spectrum_);
            }
        }
        const visual::Look& look() const override { return animation_.look(); }
        float presence() const override { return spectrum_.presence; }
        void setPaused(bool) override { }

    private:
        capture::LiveFeed& live_;
        std::vector<float> hop_;
        media::HopClock clock_;
        dsp::SpectrumAnalyzer analyzer_;
        dsp::SpectrumFrame spectrum_;
        visual::Animation animation_;
    };

    // How often the window looks at which source it captures.
    constexpr int kSourceLookMs = 500;

    QString captureTitle(const capture::LiveFeed& live)
    {
        return QStringLiteral("visualiser: %1").arg(QString::fromStdString(live.source()));
    }

    // Keeps the title on the source captured now: what the computer plays follows the default
    // output wherever it goes.
    void titleFollowsSource(QWindow& window, const capture::LiveFeed& live)
    {
        auto* look = new QTimer(&window);
        QObject::connect(look, &QTimer::timeout, &window, [&window, &live] {
            const QString now = captureTitle(live);
            if (window.title() != now)
                window.setTitle(now);
        });
        look->start(kSourceLookMs);
    }
#endif

    class VisualWindow : public QWindow {
    public:
        VisualWindow(
            QRhi::Implementation api, QVulkanInstance* vulkan, Feed& feed, int msaa, bool msaaNamed)
            : api_(api)
            , feed_(feed)
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

        QString error() const { return error_; }

        // Starts the graphics on the window before it is shown, so that a shown window draws from
        // its first expose and answers a stop signal at once; on a loaded machine the back end's
        // start takes seconds. False, with the error, where the back end did not start.
        bool prepare()
        {
            create();
            if (!initialise())
                return false;
            resizeSwapChain();
            return error_.isEmpty();
        }
        // Asked for before the window shows, some window managers (evilwm) never make it full
        // screen; asked for once it shows, every one that handles full screen does.
        void setFullScreenWhenShown(bool fullScreen) { fullScreenWhenShown_ = fullScreen; }
        // Keys the window itself does not take; true when taken.
        void setKeyHandler(std::function<bool(int key)> handler) { keys_ = std::move(handler); }

        void togglePause()
        {
            paused_ = !paused_;
            feed_.setPaused(paused_);
            if (governor_)
                governor_->interrupt();
            // Paused, the picture stands still and nothing is drawn until the screen needs it.
            if (!paused_)
                requestUpdate();
        }

    protected:
        void exposeEvent(QExposeEvent*) override
        {
            if (!isExposed() && governor_)
                governor_->interrupt();
            if (isExposed() && !rhi_ && !initialise()) {
                QGuiApplication::exit(kExitBadInput);
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

        void mouseDoubleClickEvent(QMouseEvent* e) override
        {
            if (e->button() == Qt::LeftButton)
                toggleFullScreen();
        }

    private:
        void toggleFullScreen() { setWindowStates(windowStates() ^ Qt::WindowFullScreen); }

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
            prediction_.setFramesInFlight(rhi_->resourceLimit(QRhi::FramesInFlight));
            sc_.reset(rhi_->newSwapChain());
            // Each buffer beyond the fewest holds a finished picture back from the screen.
            sc_->setFlags(QRhiSwapChain::MinimalBufferCount);
            sc_->setWindow(this);
            renderPass_.reset(sc_->newCompatibleRenderPassDescriptor());
            sc_->setRenderPassDescriptor(renderPass_.get());
            renderer_ = std::make_unique<visual::Renderer>(rhi_.get());
            const QList<int> supported = rhi_->supportedSampleCounts();
            const int used = visual::nearestSampleCount(supported, msaa_);
            if (used != msaa_)
                shell::complain(visual::sampleCountNote(msaa_, used).toStdString());
            msaa_ = used;
            governor_ = std::make_unique<SampleGovernor>(
                std::vector<int>(supported.cbegin(), supported.cend()), used, msaaNamed_,
                screen() ? screen()->refreshRate() : 0.0);
            return true;
        }

        void resizeSwapChain()
        {
            // The picture after a rebuild is slow for its own reasons.
            governor_->interrupt();
            ready_ = sc_->createOrResize();
            if (ready_)
                setupRenderer();
        }

        void setupRenderer()
        {
            QString why;
            // A swap chain whose framebuffer has y up keeps its bottom row in memory row 0.
            ready_ = renderer_->setup(sc_->currentPixelSize(), renderPass_.get(),
                !rhi_->isYUpInFramebuffer(), msaa_, &why);
            if (!ready_) {
                error_ = why;
                QGuiApplication::exit(kExitBadInput);
            }
        }

        void release()
        {
            governor_.reset();
            renderer_.reset();
            renderPass_.reset();
            sc_.reset();
            rhi_.reset();
            ready_ = false;
        }

        // Brings the analysis to the moment the next picture will show.
        void advance()
        {
            if (paused_)
                return;
            feed_.advance(prediction_.leadMs());
            if (feed_.presence() > 0)
                heardMs_ = clock_.elapsed();
        }

        bool resting() const { return clock_.elapsed() - heardMs_ >= kRestAfterMs; }

        void scheduleNext()
        {
            if (paused_)
                return;
            if (resting())
                tick_.start(kTickMs);
            else
                requestUpdate();
        }

        // At rest: the analysis goes on every tick, a picture only now and then or once there is
        // music again.
        void tick()
        {
            advance();
            if (!resting() || clock_.elapsed() - pictureMs_ >= kRestingPictureMs)
                render();
            else
                tick_.start(kTickMs);
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
            const qint64 began = clock_.nsecsElapsed();
            advance();
            renderer_->record(
                sc_->currentFrameCommandBuffer(), sc_->currentFrameRenderTarget(), feed_.look());
            rhi_->endFrame(sc_.get());
            prediction_.frameDrawn(began, clock_.nsecsElapsed());
            pictureMs_ = clock_.elapsed();
            if (paused_ || resting())
                governor_->interrupt();
            else if (governor_->presented(double(clock_.nsecsElapsed()) / 1e6))
                stepSamplesDown();
            scheduleNext();
        }

        // The strand pass rebuilt at the governor's lower count, between two pictures.
        void stepSamplesDown()
        {
            shell::complain(
                QStringLiteral("%1x multisampling draws only %2 pictures/s here; using %3x")
                    .arg(msaa_)
                    .arg(qRound(governor_->slowRate()))
                    .arg(governor_->count())
                    .toStdString());
            msaa_ = governor_->count();
            setupRenderer();
        }

        QRhi::Implementation api_;
        Feed& feed_;
        int msaa_; // as drawn, once the back end started
        bool msaaNamed_;
        std::unique_ptr<SampleGovernor> governor_;
        QString error_;
        std::unique_ptr<QOffscreenSurface> fallback_;
        std::unique_ptr<QRhi> rhi_;
        std::unique_ptr<QRhiSwapChain> sc_;
        std::unique_ptr<QRhiRenderPassDescriptor> renderPass_;
        std::unique_ptr<visual::Renderer> renderer_;
        std::function<bool(int)> keys_;
        bool ready_ = false;
        bool paused_ = false;
        bool fullScreenWhenShown_ = false;
        QElapsedTimer clock_;
        QTimer tick_;
        PresentPrediction prediction_;
        qint64 heardMs_ = 0;
        qint64 pictureMs_ = 0;
    };

    // What QT_QPA_PLATFORM held before windowProblem() put the minimal plugin behind it.
    QByteArray givenPlatforms;
    // The Debian package (12 and 13) that holds Qt's Wayland platform plugins.
    constexpr const char* kWaylandPluginPackage = "qt6-wayland";

    // Qt's messages while the platform starts, held back until runWindow() knows which one did:
    // a platform that does not reach its display says so in its own words (the Wayland plugin's
    // "Failed to create wl_display (...)") before Qt falls back to the next, where one line of
    // ours says it better.
    QtMessageHandler passOn = nullptr;
    std::vector<std::pair<QtMsgType, QString>> held;

    void hold(QtMsgType type, const QMessageLogContext& context, const QString& message)
    {
        // A fatal message ends the process at once.
        if (type == QtFatalMsg)
            passOn(type, context, message);
        else
            held.emplace_back(type, message);
    }

    // Puts the program's own handler back; hands it the held messages unless dropped.
    void releaseHeld(bool drop)
    {
        qInstallMessageHandler(passOn);
        for (const auto& [type, message] : drop ? decltype(held) {} : held)
            passOn(type, QMessageLogContext(), message);
        held.clear();
    }

    bool waylandPluginInstalled()
    {
        QStringList folders = QCoreApplication::libraryPaths();
        for (QString& folder : folders)
            folder += QStringLiteral("/platforms");
        folders << qEnvironmentVariable("QT_QPA_PLATFORM_PLUGIN_PATH");
        for (const QString& folder : folders) {
            if (!folder.isEmpty()
                && !QDir(folder)
                        .entryList({ QStringLiteral("libqwayland*") }, QDir::Files)
                        .isEmpty())
                return true;
        }
        return false;
    }

    // The Wayland display as a window could not use it: its name, and why where the plugin for it
    // is missing.
    std::string waylandDisplay()
    {
        std::string named
            = "the Wayland display '" + qgetenv("WAYLAND_DISPLAY").toStdString() + "'";
        if (!waylandPluginInstalled())
            named += std::string(" (Qt's Wayland plugin is not installed: Debian package ")
                + kWaylandPluginPackage + ")";
        return named;
    }

    // The one line for a window that could not open: the displays Qt was sent to.
    std::string displayFailure()
    {
        const QByteArray x11 = qgetenv("DISPLAY");
        if (!givenPlatforms.isEmpty())
            return "cannot open a window with the platform '" + givenPlatforms.toStdString()
                + "' that QT_QPA_PLATFORM names";
        if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY") && !x11.isEmpty())
            return "cannot open " + waylandDisplay() + " or the X display '" + x11.toStdString()
                + "'";
        if (qEnvironmentVariableIsSet("WAYLAND_DISPLAY"))
            return "cannot open " + waylandDisplay();
        return "cannot open the display '" + x11.toStdString() + "'";
    }

    // Whether the window opened on X11 after the Wayland display named did not answer.
    bool fellBackFromWayland()
    {
        return givenPlatforms.isEmpty() && qEnvironmentVariableIsSet("WAYLAND_DISPLAY")
            && QGuiApplication::platformName() == QLatin1String("xcb");
    }
    // Says in one line what became of the displays Qt was sent to, where that was not the first;
    // false where no window can open.
    bool platformStarted()
    {
        const bool failed = QGuiApplication::platformName() == QLatin1String("minimal");
        const bool fellBack = fellBackFromWayland();
        releaseHeld(failed || fellBack);
        if (failed) {
            shell::complain(displayFailure());
            return false;
        }
        // Without the plugin, Wayland was never tried: an X display is what this Qt can open.
        if (fellBack && waylandPluginInstalled())
            shell::complain("cannot open the Wayland display '"
                + qgetenv("WAYLAND_DISPLAY").toStdString() + "'; using the X display '"
                + qgetenv("DISPLAY").toStdString() + "'");
        return true;
    }
} // namespace

QString windowProblem()
{
    givenPlatforms = qgetenv("QT_QPA_PLATFORM");
    const bool wayland = qEnvironmentVariableIsSet("WAYLAND_DISPLAY");
    const bool x11 = qEnvironmentVariableIsSet("DISPLAY");
    if (givenPlatforms.isEmpty() && !wayland && !x11)
        return QStringLiteral(
            "no display to open a window on (use --render OUT to render off-line)");
    // Qt ends the process when no platform in its list starts; the minimal one always starts,
    // and runWindow() then says which display did not answer. A Wayland plugin that is not
    // installed is passed over like one whose display does not answer.
    QByteArray platforms = givenPlatforms;
    if (platforms.isEmpty())
        platforms = wayland ? (x11 ? "wayland;xcb" : "wayland") : "xcb";
    if (!platforms.split(';').contains("minimal"))
        platforms += ";minimal";
    qputenv("QT_QPA_PLATFORM", platforms);
    passOn = qInstallMessageHandler(hold);
    return {};
}

int runWindow(const Options& o, QGuiApplication& app)
{
    if (!platformStarted())
        return kExitBadInput;
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

    std::unique_ptr<Player> player;
#ifdef VISUALISER_CAPTURE
    std::unique_ptr<capture::LiveFeed> live;
#endif
    std::unique_ptr<Feed> feed;
    QString title;
#ifdef VISUALISER_CAPTURE
    if (o.capture) {
        std::string error;
        const std::string name
            = o.captureSource.empty() ? std::string(capture::kDefaultMonitor) : o.captureSource;
        live = capture::LiveFeed::open("visualiser", name, &error);
        if (!live) {
            shell::complain(error);
            return kExitBadInput;
        }
        live->reportEvents(
            [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        feed = std::make_unique<CaptureFeed>(*live);
        title = captureTitle(*live);
    } else
#else
    if (o.capture) {
        shell::complain("this visualiser was built without live capture (BANDCORE_CAPTURE=OFF)");
        return kExitBadInput;
    } else
#endif
    {
        std::vector<std::string> problems;
        player
            = std::make_unique<Player>(o.inputs.empty() ? std::vector<std::string> { std::string() }
                                                        : expandInputs(o.inputs, &problems));
        for (const std::string& problem : problems)
            shell::complain(problem);
        if (!player->start()) {
            if (shell::stopped())
                return shell::stoppedStatus();
            return kExitBadInput;
        }
        feed = std::make_unique<TrackFeed>(*player);
        title = QStringLiteral("visualiser: %1").arg(player->tags().display());
    }

    VisualWindow window(api, api == QRhi::Vulkan ? &vulkan : nullptr, *feed, o.msaa, o.msaaNamed);
    window.setTitle(title);
#ifdef VISUALISER_CAPTURE
    if (live)
        titleFollowsSource(window, *live);
#endif
    window.resize(o.size);
    std::unique_ptr<Mpris> mpris;
    if (player) {
        attachWindow(*player, window, [&window] { window.togglePause(); });
        window.setKeyHandler([&player](int key) { return player->handleKey(key); });
        mpris = std::make_unique<Mpris>(*player, &window);
        const QString noBus = mpris->publish();
        if (!noBus.isEmpty())
            shell::complain(noBus.toStdString());
    }
    if (!window.prepare()) {
        shell::complain(window.error().toStdString());
        return kExitBadInput;
    }
    window.setFullScreenWhenShown(o.fullScreen);
    window.show();
    const int status = app.exec();
    mpris.reset();
    if (!window.error().isEmpty()) {
        shell::complain(window.error().toStdString());
        return kExitBadInput;
    }
    if (status != shell::kExitClean || !player)
        return status;
    // As off-line: damaged input still plays, and says once what was wrong when the run ends.
    player->finish();
    return player->status();
}

} // namespace visualiser
