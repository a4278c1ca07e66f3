#include "offline.h"

#include "progress.h"
#include "videowriter.h"

#include "dsp/spectrumanalyzer.h"
#include "media/hopclock.h"
#include "visual/headless.h"
#include "visual/look.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QImage>
#include <QImageWriter>

#include <cmath>
#include <memory>

namespace visualiser {

namespace {

    // Numbered pictures in a folder; those written are removed again unless kept.
    class PngFolder {
    public:
        explicit PngFolder(const QString& folder)
            : dir_(folder)
        {
        }
        ~PngFolder()
        {
            if (!keep_)
                for (const QString& name : written_)
                    dir_.remove(name);
        }
        bool add(const QByteArray& rgba, QSize size, QString* why)
        {
            const QString name
                = QStringLiteral("%1.png").arg(written_.size(), 6, 10, QLatin1Char('0'));
            // RGBX: the colour is premultiplied over black, and un-premultiplying would brighten
            // the halos.
            const QImage image(reinterpret_cast<const uchar*>(rgba.constData()), size.width(),
                size.height(), size.width() * 4, QImage::Format_RGBX8888);
            written_.append(name);
            QImageWriter writer(dir_.filePath(name), "png");
            if (!writer.write(image)) {
                *why = QStringLiteral("%1: cannot write: %2")
                           .arg(dir_.filePath(name), writer.errorString());
                return false;
            }
            return true;
        }
        void keep() { keep_ = true; }

    private:
        QDir dir_;
        QStringList written_;
        bool keep_ = false;
    };

} // namespace

QString checkOutput(const Options& o)
{
    const QFileInfo info(o.render);
    if (info.isDir())
        return {};
    if (!isVideoPath(o.render))
        return QStringLiteral("%1: not an existing folder, nor a .mp4, .mkv or .webm file")
            .arg(o.render);
    if (!info.dir().exists())
        return QStringLiteral("%1: folder %2 does not exist").arg(o.render, info.dir().path());
    if (!o.input.isEmpty() && info.exists()
        && info.canonicalFilePath() == QFileInfo(o.input).canonicalFilePath())
        return QStringLiteral("%1: is the input file").arg(o.render);
    return {};
}

OfflineResult renderOffline(const Options& o, const Programme& programme, QString* why)
{
    const double total = programme.seconds();
    const double to = o.toSec < 0.0 ? total : std::min(o.toSec, total);
    const long long first = std::llround(o.fromSec * o.fps);
    const long long end = std::llround(to * o.fps);
    if (end <= first) {
        *why = QStringLiteral("--from %1 is past the end of the audio (%2 s)")
                   .arg(o.fromSec)
                   .arg(total, 0, 'f', 2);
        return OfflineResult::Failed;
    }

    visual::HeadlessRhi host;
    if (!host.start(o.backend, why))
        return OfflineResult::Failed;
    visual::OffscreenFrame frame(host.rhi());
    if (!frame.setup(o.size, visual::kDefaultSampleCount, why))
        return OfflineResult::Failed;

    std::unique_ptr<VideoWriter> video;
    std::unique_ptr<PngFolder> pngs;
    if (isVideoPath(o.render) && !QFileInfo(o.render).isDir()) {
        const long long audioFirst = first * programme.rateHz / o.fps;
        const long long audioEnd = std::min<long long>(
            end * programme.rateHz / o.fps, static_cast<long long>(programme.samples.size()));
        video = VideoWriter::open(o.render, o.size, o.fps, programme.samples.data() + audioFirst,
            audioEnd - audioFirst, programme.rateHz, why);
        if (!video)
            return OfflineResult::Failed;
    } else {
        pngs = std::make_unique<PngFolder>(o.render);
    }

    // One analysis hop per 1/60 s from the very start, so that the gain and presence at --from
    // are what they would be when playing; a picture every hop at 60 fps, every other at 30.
    const int hopsPerPicture = dsp::kFrameRateHz / o.fps;
    dsp::SpectrumAnalyzer analyzer;
    analyzer.configure(programme.rateHz);
    media::HopClock clock(programme.rateHz);
    visual::Animation animation;
    dsp::SpectrumFrame spectrum;
    std::vector<float> hop(size_t(clock.largestHop()));
    size_t read = 0;
    ProgressBar progress;
    QByteArray rgba;
    for (long long n = 0;; ++n) {
        if (stopRequested())
            return OfflineResult::Stopped;
        const size_t count = size_t(clock.next());
        for (size_t i = 0; i < count; ++i)
            hop[i] = read + i < programme.samples.size() ? programme.samples[read + i] : 0.0f;
        read += count;
        analyzer.pushSamples(hop.data(), unsigned(count));
        // Until the analysis window is full the picture shows a silent frame.
        if (!analyzer.process(spectrum))
            spectrum = dsp::SpectrumFrame {};
        animation.step(spectrum);
        if ((n + 1) % hopsPerPicture != 0)
            continue;
        const long long picture = (n + 1) / hopsPerPicture - 1;
        if (picture < first)
            continue;
        if (!frame.render(animation.look(), &rgba, why))
            return OfflineResult::Failed;
        const bool ok = video
            ? video->addPicture(reinterpret_cast<const unsigned char*>(rgba.constData()), why)
            : pngs->add(rgba, o.size, why);
        if (!ok)
            return OfflineResult::Failed;
        progress.update(picture + 1 - first, end - first);
        if (picture + 1 >= end)
            break;
    }
    progress.finish();
    if (video && !video->finish(why))
        return OfflineResult::Failed;
    if (pngs)
        pngs->keep();
    return OfflineResult::Done;
}

} // namespace visualiser
