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

#include <algorithm>
#include <cmath>
#include <limits>
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

OfflineResult renderOffline(const Options& o, media::Feed& feed, QString* why)
{
    const int rate = feed.sampleRate();
    const long long first = std::llround(o.fromSec * o.fps);
    // Known from the start with --to; otherwise once the audio ends.
    long long end
        = o.toSec < 0.0 ? std::numeric_limits<long long>::max() : std::llround(o.toSec * o.fps);

    visual::HeadlessRhi host;
    if (!host.start(o.backend, why))
        return OfflineResult::Failed;
    visual::OffscreenFrame frame(host.rhi());
    if (!frame.setup(o.size, visual::kDefaultSampleCount, why))
        return OfflineResult::Failed;

    std::unique_ptr<VideoWriter> video;
    std::unique_ptr<PngFolder> pngs;
    if (isVideoPath(o.render) && !QFileInfo(o.render).isDir()) {
        video = VideoWriter::open(o.render, o.size, o.fps, feed.channels(), rate, why);
        if (!video)
            return OfflineResult::Failed;
    } else {
        pngs = std::make_unique<PngFolder>(o.render);
    }
    // The sound between the first picture's time and the last one's.
    const long long audioFirst = first * rate / o.fps;
    const long long audioEnd
        = o.toSec < 0.0 ? std::numeric_limits<long long>::max() : end * rate / o.fps;

    // One analysis hop per 1/60 s from the very start, so that the gain and presence at --from
    // are what they would be when playing; a picture every hop at 60 fps, every other at 30.
    const int hopsPerPicture = dsp::kFrameRateHz / o.fps;
    dsp::SpectrumAnalyzer analyzer;
    analyzer.configure(rate);
    media::HopClock clock(rate);
    visual::Animation animation;
    dsp::SpectrumFrame spectrum;
    std::vector<float> hop(size_t(clock.largestHop()));
    std::vector<float> channels(video ? hop.size() * size_t(feed.channels()) : 0);
    long long read = 0;
    bool ended = false;
    ProgressBar progress;
    const std::int64_t expected = feed.expectedSamples();
    QByteArray rgba;
    for (long long n = 0;; ++n) {
        if (stopRequested())
            return OfflineResult::Stopped;
        const int count = clock.next();
        // Past the end, the last picture's hops are silence.
        const bool sound = video && read + count > audioFirst && read < audioEnd;
        const int got = ended ? 0 : feed.read(hop.data(), count, sound ? channels.data() : nullptr);
        std::fill(hop.begin() + got, hop.begin() + count, 0.0f);
        if (sound && got > 0) {
            const long long from = std::max(read, audioFirst);
            const long long to = std::min(read + got, audioEnd);
            if (to > from
                && !video->addAudio(
                    channels.data() + (from - read) * feed.channels(), int(to - from), why))
                return OfflineResult::Failed;
        }
        if (!ended && got < count) {
            ended = true;
            const long long total = read + got;
            end = std::min(end, std::llround(double(total) / rate * o.fps));
            if (end <= first) {
                *why = QStringLiteral("--from %1 is past the end of the audio (%2 s)")
                           .arg(o.fromSec)
                           .arg(double(total) / rate, 0, 'f', 2);
                return OfflineResult::Failed;
            }
        }
        read += count;
        analyzer.pushSamples(hop.data(), unsigned(count));
        // Until the analysis window is full the picture shows a silent frame.
        if (!analyzer.process(spectrum))
            spectrum = dsp::SpectrumFrame {};
        animation.step(spectrum);
        if ((n + 1) % hopsPerPicture != 0)
            continue;
        const long long picture = (n + 1) / hopsPerPicture - 1;
        if (picture >= end)
            break;
        if (picture < first)
            continue;
        if (!frame.render(animation.look(), &rgba, why))
            return OfflineResult::Failed;
        const bool ok = video
            ? video->addPicture(reinterpret_cast<const unsigned char*>(rgba.constData()), why)
            : pngs->add(rgba, o.size, why);
        if (!ok)
            return OfflineResult::Failed;
        // The length is a guess until the audio ends: the declared one, or what was read.
        const long long last = end != std::numeric_limits<long long>::max() ? end
            : expected > 0 ? std::llround(double(expected) / rate * o.fps)
                           : picture + 2;
        progress.update(picture + 1 - first, std::max(last, picture + 1) - first);
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
