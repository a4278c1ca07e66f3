#include "window.h"

#include "display.h"
#include "following.h"
#include "mpris.h"
#include "player.h"
#include "tempooverlay.h"
#include "visualwindow.h"

#ifdef VISUALISER_CAPTURE
#include "capture/livefeed.h"
#endif

#include "shell/signals.h"
#include "shell/sources.h"
#include "shell/status.h"
#include "shell/text.h"
#include "visual/headless.h"

#include <QTimer>
#include <QVulkanInstance>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace visualiser {

namespace {

    using shell::kExitBadInput;
    using shell::kExitClean;

    // What the window follows, kept alive while it runs: the player of the files or the demo,
    // or a live capture; the looks drawn from it; the window's first title.
    struct Followed {
        // First, so that it outlasts the followers that feed it.
        std::unique_ptr<shell::WledOutput> wled;
        std::unique_ptr<Player> player;
#ifdef VISUALISER_CAPTURE
        std::unique_ptr<capture::LiveFeed> live;
#endif
        std::unique_ptr<LookSource> looks;
        TrackFollower* track = nullptr; // looks, where they follow the player
        QString title;
    };

#ifdef VISUALISER_CAPTURE
    // How often the window looks at which source it captures.
    constexpr int kSourceLookMs = 500;

    // The source captured now and, where the picture waits for the sound, the delay in use.
    QString captureTitle(const capture::LiveFeed& live)
    {
        const QString title
            = QStringLiteral("visualiser: %1").arg(QString::fromStdString(live.source()));
        return live.delayMs() > 0 ? title + QStringLiteral(", delay %1 ms").arg(live.delayMs())
                                  : title;
    }

    // Keeps the title on the source captured now and the delay in use: what the computer plays
    // follows the default output wherever it goes, and the output's latency may change.
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

    int followCapture(const Options& o, Followed* f)
    {
        std::string error;
        const std::string name
            = o.captureSource.empty() ? std::string(capture::kDefaultMonitor) : o.captureSource;
        f->live = capture::LiveFeed::open(
            "visualiser", name, &error, shell::captureBackend(o.captureBackend));
        if (!f->live) {
            shell::complain(error);
            return kExitBadInput;
        }
        f->live->setExtraDelayMs(std::max(o.delayMs, 0));
        f->live->reportEvents(
            [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
        f->looks = std::make_unique<CaptureFollower>(
            *f->live, f->wled.get(), o.layout == shell::Layout::Stereo, o.beatPulse);
        f->title = captureTitle(*f->live);
        return kExitClean;
    }
#else
    int followCapture(const Options&, Followed*)
    {
        shell::complain("this visualiser was built without live capture (BANDCORE_CAPTURE=OFF)");
        return kExitBadInput;
    }
#endif

    int followPlayer(const Options& o, Followed* f)
    {
        std::vector<std::string> problems;
        f->player
            = std::make_unique<Player>(o.inputs.empty() ? std::vector<std::string> { std::string() }
                                                        : expandInputs(o.inputs, &problems));
        for (const std::string& problem : problems)
            shell::complain(problem);
        if (!f->player->start()) {
            if (shell::stopped())
                return shell::stoppedStatus();
            return kExitBadInput;
        }
        auto track = std::make_unique<TrackFollower>(*f->player, std::max(o.delayMs, 0),
            f->wled.get(), o.layout == shell::Layout::Stereo, o.beatPulse);
        f->track = track.get();
        f->looks = std::move(track);
        f->title = QStringLiteral("visualiser: %1").arg(f->player->tags().display());
        return kExitClean;
    }

    // The Vulkan instance a window on Vulkan needs; false, said in one line, without a device.
    bool startVulkan(visual::Backend backend, QVulkanInstance& vulkan)
    {
        if (backend != visual::Backend::Vulkan)
            return true;
        vulkan.setExtensions(QRhiVulkanInitParams::preferredInstanceExtensions());
        if (vulkan.create())
            return true;
        const QString why = visual::unavailable(
            backend, QStringLiteral("no Vulkan device (VkResult %1)").arg(vulkan.errorCode()));
        std::fprintf(stderr, "visualiser: %s\n", why.toLocal8Bit().constData());
        return false;
    }

    // The window's title, the tempo's key, and the player's keys, pause and bus where a player
    // plays.
    std::unique_ptr<Mpris> attach(Followed& f, VisualWindow& window, TempoOverlay& tempo)
    {
        Player* player = f.player.get();
        window.setKeyHandler([&tempo, player](int key) {
            if (key == Qt::Key_T) {
                tempo.setOn(!tempo.on());
                return true;
            }
            return player && player->handleKey(key);
        });
        window.setTitle(f.title);
#ifdef VISUALISER_CAPTURE
        if (f.live)
            titleFollowsSource(window, *f.live);
#endif
        if (!player)
            return nullptr;
        attachWindow(*player, window, [&window] { window.togglePause(); });
        auto mpris = std::make_unique<Mpris>(*player, &window);
        const QString noBus = mpris->publish();
        if (!noBus.isEmpty())
            shell::complain(noBus.toStdString());
        return mpris;
    }

    // Follows the configuration file while the window runs: a new delay, theme or tempo
    // switch is the picture's at once, over capture as over the player.
    void followConfig(shell::Config& config, Followed& f, VisualWindow& window, TempoOverlay& tempo)
    {
        config.onChange(
            "show-tempo", [&tempo](const std::string& value) { tempo.setOn(value == "true"); });
        config.onChange("theme", [&window](const std::string& value) {
            shell::Theme theme;
            if (shell::parseTheme(value, &theme).empty())
                window.setPalette(paletteOf(theme));
        });
        config.onChange("delay", [&f](const std::string& value) {
            int ms = 0;
            if (!shell::parseDelay(value, &ms).empty())
                return;
#ifdef VISUALISER_CAPTURE
            if (f.live)
                f.live->setExtraDelayMs(ms);
#endif
            if (f.track)
                f.track->setDelayMs(ms);
        });
        auto* look = new QTimer(&window);
        QObject::connect(look, &QTimer::timeout, &window, [&config] { config.reload(); });
        look->start(shell::kConfigLookMs);
    }

    // The exit status once the event loop ended with status.
    int finished(const VisualWindow& window, Player* player, int status)
    {
        if (!window.error().isEmpty()) {
            shell::complain(window.error().toStdString());
            return kExitBadInput;
        }
        if (status != kExitClean || !player)
            return status;
        // As off-line: damaged input still plays, and says once what was wrong when the run ends.
        player->finish();
        return player->status();
    }

} // namespace

int runWindow(const Options& o, QGuiApplication& app, shell::Config& config)
{
    if (!platformStarted())
        return kExitBadInput;
    QVulkanInstance vulkan;
    const visual::Backend backend = visual::resolveBackend(o.backend);
    if (!startVulkan(backend, vulkan))
        return kExitBadInput;
    const QRhi::Implementation api
        = backend == visual::Backend::Vulkan ? QRhi::Vulkan : QRhi::OpenGLES2;

    Followed followed;
    if (o.wled)
        followed.wled = std::make_unique<shell::WledOutput>(o.wledTarget);
    const int opened = o.capture ? followCapture(o, &followed) : followPlayer(o, &followed);
    if (opened != kExitClean)
        return opened;

    VisualWindow window(
        api, api == QRhi::Vulkan ? &vulkan : nullptr, *followed.looks, o.msaa, o.msaaNamed);
    window.resize(o.size);
    window.setPalette(o.palette);
    // A child of the window, which deletes it.
    auto* tempo = new TempoOverlay(&window, *followed.looks);
    std::unique_ptr<Mpris> mpris = attach(followed, window, *tempo);
    if (!window.prepare()) {
        shell::complain(window.error().toStdString());
        return kExitBadInput;
    }
    window.setFullScreenWhenShown(o.fullScreen);
    followConfig(config, followed, window, *tempo);
    window.show();
    tempo->setOn(o.showTempo);
    const int status = app.exec();
    config.onChange("delay", nullptr);
    config.onChange("theme", nullptr);
    config.onChange("show-tempo", nullptr);
    mpris.reset();
    return finished(window, followed.player.get(), status);
}

} // namespace visualiser
