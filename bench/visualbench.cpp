// Figures for the visual: headless render speed per back end and picture size with the time of
// each pass, the cost of encoding, and the wall time of a whole video of the demo.
//
//   visualbench                      both back ends, then encoding and the demo video
//   visualbench --backend vulkan     one back end only
//
// Each pass's time is the difference between recording the chain up to it and up to the one
// before (every off-screen frame waits for the GPU to finish), so the figures include what the
// software rasteriser spends on each. Frame rates include reading the picture back.

#include "following.h"

#include "media/analysisloop.h"
#include "media/demo.h"
#include "media/feed.h"
#include "media/videowriter.h"
#include "shell/output.h"
#include "visual/headless.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QGuiApplication>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

namespace {

constexpr int kSampleCount = visual::kDefaultSampleCount;
constexpr int kWarmUpFrames = 3;
constexpr QSize kSizes[] = { QSize(640, 360), QSize(1280, 720) };

// Looks of the demo's loud chord: a busy picture.
std::vector<visual::Look> demoLooks(int count)
{
    std::string error;
    const std::unique_ptr<media::Feed> feed = media::openFeed({}, &error);
    media::AnalysisLoop loop(feed->sampleRate());
    visualiser::Animated animated;
    loop.addConsumer(animated);
    media::FeedHops hops(*feed);
    std::vector<visual::Look> looks;
    const auto start = std::int64_t(13.0 * feed->sampleRate());
    while (int(looks.size()) < count && loop.step(hops) != media::AnalysisLoop::Step::End) {
        if (loop.samplesRead() >= start)
            looks.push_back(animated.look());
    }
    return looks;
}

// CPU time of the whole process (the software rasteriser's threads included), in ms.
double cpuMs()
{
    rusage use {};
    getrusage(RUSAGE_SELF, &use);
    return (double(use.ru_utime.tv_sec) + double(use.ru_stime.tv_sec)) * 1e3
        + (double(use.ru_utime.tv_usec) + double(use.ru_stime.tv_usec)) / 1e3;
}

struct Cost {
    double wallMs = 0; // per frame
    double cpuMs = 0;
};

// The least of three runs of `frames` frames: other work on the machine only ever adds time.
Cost costPerFrame(visual::OffscreenFrame& frame, const std::vector<visual::Look>& looks, int frames,
    int passLimit, bool readBack)
{
    QByteArray rgba;
    QString why;
    Cost best { 1e300, 1e300 };
    for (int attempt = 0; attempt < 3; ++attempt) {
        QElapsedTimer timer;
        timer.start();
        const double cpuStart = cpuMs();
        for (int i = 0; i < frames; ++i)
            if (!frame.render(
                    looks[size_t(i) % looks.size()], readBack ? &rgba : nullptr, &why, passLimit)) {
                std::fprintf(stderr, "visualbench: %s\n", qPrintable(why));
                return {};
            }
        best.wallMs = std::min(best.wallMs, double(timer.nsecsElapsed()) / 1e6 / frames);
        best.cpuMs = std::min(best.cpuMs, (cpuMs() - cpuStart) / frames);
    }
    return best;
}

int benchBackend(visual::Backend backend)
{
    visual::HeadlessRhi host;
    QString why;
    if (!host.start(backend, &why)) {
        std::fprintf(stderr, "visualbench: %s\n", qPrintable(why));
        return 1;
    }
    const std::vector<visual::Look> looks = demoLooks(60);
    std::printf("\n%s (%s), strand pass with %dx multisampling\n", visual::backendName(backend),
        host.rhi()->driverInfo().deviceName.constData(), kSampleCount);
    for (const QSize size : kSizes) {
        visual::OffscreenFrame frame(host.rhi());
        if (!frame.setup(size, kSampleCount, &why)) {
            std::fprintf(stderr, "visualbench: %s\n", qPrintable(why));
            return 1;
        }
        const int frames = size.width() > 640 ? 8 : 20;
        costPerFrame(frame, looks, kWarmUpFrames, -1, true);
        const Cost whole = costPerFrame(frame, looks, frames, -1, true);
        std::printf(
            "  %dx%d: %.1f ms per frame, %.1f fps (with read-back); CPU %.1f ms per frame\n",
            size.width(), size.height(), whole.wallMs, 1000.0 / whole.wallMs, whole.cpuMs);
        std::printf("    %-10s %8s %8s\n", "pass", "wall ms", "CPU ms");
        const auto& passes = frame.renderer().chain().passes;
        Cost before;
        for (int k = 1; k <= int(passes.size()); ++k) {
            const Cost upTo = costPerFrame(frame, looks, frames, k, false);
            std::printf("    %-10s %8.2f %8.2f\n", visual::passName(passes[size_t(k) - 1].kind),
                upTo.wallMs - before.wallMs, upTo.cpuMs - before.cpuMs);
            before = upTo;
        }
        std::printf("    %-10s %8.2f %8.2f\n", "read-back", whole.wallMs - before.wallMs,
            whole.cpuMs - before.cpuMs);
    }
    return 0;
}

void benchEncoding()
{
    std::printf("\nencoding (H.264 veryfast + AAC, one thread)\n");
    QTemporaryDir dir;
    for (const QSize size : kSizes) {
        // Real pictures: a still one would encode unrealistically fast.
        visual::HeadlessRhi host;
        QString why;
        const int frames = size.width() > 640 ? 30 : 60;
        std::vector<QByteArray> pictures;
        {
            if (!host.start(visual::Backend::Vulkan, &why)) {
                std::printf("  skipped: %s\n", qPrintable(why));
                return;
            }
            visual::OffscreenFrame frame(host.rhi());
            frame.setup(size, kSampleCount, &why);
            for (const visual::Look& look : demoLooks(frames)) {
                pictures.emplace_back();
                frame.render(look, &pictures.back(), &why);
            }
        }
        // A picture's worth of stereo silence before each picture, as a render adds it.
        const std::vector<float> silence(size_t(media::kDemoRateHz) / 60 * 2, 0.0f);
        QElapsedTimer timer;
        timer.start();
        const QString path = dir.filePath(QStringLiteral("bench.mp4"));
        std::string error;
        const auto file = shell::OutputFile::open(path.toStdString(), &error);
        auto writer = media::VideoWriter::open(*file, path, size, 60, 2, media::kDemoRateHz, &why);
        for (const QByteArray& p : pictures) {
            writer->addAudio(silence.data(), int(silence.size() / 2), &why);
            writer->addPicture(reinterpret_cast<const unsigned char*>(p.constData()), &why);
        }
        writer->finish(&why);
        const double ms = double(timer.nsecsElapsed()) / 1e6 / frames;
        std::printf(
            "  %dx%d: %.1f ms per frame, %.0f fps\n", size.width(), size.height(), ms, 1000.0 / ms);
    }
}

void benchDemoVideo()
{
    QTemporaryDir dir;
    for (const char* backend : { "vulkan", "gles" }) {
        QProcess p;
        QElapsedTimer timer;
        timer.start();
        p.start(QStringLiteral(VISUALISER_EXE),
            { QStringLiteral("--render"), dir.filePath(QStringLiteral("demo.mp4")),
                QStringLiteral("--size"), QStringLiteral("640x360"), QStringLiteral("--backend"),
                QLatin1String(backend) });
        p.waitForFinished(-1);
        const double sec = double(timer.elapsed()) / 1000.0;
        std::printf("\nwhole demo (%.1f s) as a 640x360 60 fps video, %s: %.1f s wall, %.2fx real "
                    "time (exit %d)\n",
            media::kDemoLengthSec, backend, sec, media::kDemoLengthSec / sec, p.exitCode());
    }
}

} // namespace

int main(int argc, char** argv)
{
    auto quiet = [](QtMsgType, const QMessageLogContext&, const QString&) {};
    for (int i = 1; i < argc; ++i) {
        visual::Backend backend;
        if (qstrcmp(argv[i], "--backend") == 0 && i + 1 < argc
            && visual::parseBackend(QString::fromLatin1(argv[i + 1]), &backend)) {
            backend = visual::prepareHeadless(backend);
            QGuiApplication app(argc, argv);
            qInstallMessageHandler(quiet);
            return benchBackend(backend);
        }
        if (qstrcmp(argv[i], "--encode") == 0) {
            visual::prepareHeadless(visual::Backend::Vulkan);
            QGuiApplication app(argc, argv);
            qInstallMessageHandler(quiet);
            benchEncoding();
            return 0;
        }
    }
    // Each back end needs its own platform plugin, so each part runs in a process of its own.
    QCoreApplication app(argc, argv);
    const QStringList parts[] = { { QStringLiteral("--backend"), QStringLiteral("vulkan") },
        { QStringLiteral("--backend"), QStringLiteral("gles") }, { QStringLiteral("--encode") } };
    for (const QStringList& part : parts) {
        QProcess p;
        p.setProcessChannelMode(QProcess::ForwardedChannels);
        p.start(QCoreApplication::applicationFilePath(), part);
        p.waitForFinished(-1);
    }
    benchDemoVideo();
    return 0;
}
