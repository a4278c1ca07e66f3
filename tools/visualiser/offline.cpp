#include "offline.h"

#include "dsp/spectrumanalyzer.h"
#include "media/hopclock.h"
#include "media/videowriter.h"
#include "shell/output.h"
#include "shell/progress.h"
#include "shell/signals.h"
#include "shell/text.h"
#include "visual/headless.h"
#include "visual/look.h"

#include <QBuffer>
#include <QImage>
#include <QImageWriter>
#include <QString>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <dirent.h>
#include <limits>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace visualiser {

using media::isVideoPath;
using media::VideoWriter;

namespace {

    constexpr int kFrameNameDigits = 6;

    std::string frameName(long long index)
    {
        char name[32];
        std::snprintf(name, sizeof(name), "%0*lld.png", kFrameNameDigits, index);
        return name;
    }

    // NNNNNN.png: a name this program gives its pictures.
    bool isFrameName(const std::string& name)
    {
        if (name.size() != kFrameNameDigits + 4 || name.compare(kFrameNameDigits, 4, ".png") != 0)
            return false;
        for (int i = 0; i < kFrameNameDigits; ++i) {
            if (name[std::size_t(i)] < '0' || name[std::size_t(i)] > '9')
                return false;
        }
        return true;
    }

    std::string cannotWrite(const shell::OutputFile& out)
    {
        return out.path() + ": cannot write: " + out.error();
    }

    // Numbered pictures in a folder, each its own output of the set.
    class PngFolder {
    public:
        explicit PngFolder(const std::string& folder)
            : folder_(folder.empty() || folder.back() == '/' ? folder : folder + '/')
        {
        }
        bool add(const QByteArray& rgba, QSize size, std::string* why)
        {
            const std::string path = folder_ + frameName(static_cast<long long>(files_.size()));
            // RGBX: the colour is premultiplied over black, and un-premultiplying would brighten
            // the halos.
            const QImage image(reinterpret_cast<const uchar*>(rgba.constData()), size.width(),
                size.height(), size.width() * 4, QImage::Format_RGBX8888);
            // Encoded in memory, so that a failed write reports the system's reason.
            png_.clear();
            QBuffer buffer(&png_);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, "png");
            if (!writer.write(image)) {
                *why = path + ": cannot encode the picture: " + writer.errorString().toStdString();
                return false;
            }
            std::string error;
            std::unique_ptr<shell::OutputFile> out = shell::OutputFile::open(path, &error);
            if (!out) {
                *why = path + ": cannot write: " + error;
                return false;
            }
            const bool written
                = out->write(png_.constData(), std::size_t(png_.size())) && out->finish();
            files_.push_back(std::move(out));
            if (!written)
                *why = cannotWrite(*files_.back());
            return written;
        }
        std::vector<shell::OutputFile*> outputs() const
        {
            std::vector<shell::OutputFile*> list;
            for (const auto& f : files_)
                list.push_back(f.get());
            return list;
        }

    private:
        std::string folder_;
        QByteArray png_;
        // Destroyed uncommitted, each removes its temporary.
        std::vector<std::unique_ptr<shell::OutputFile>> files_;
    };

    bool isFolder(const std::string& path)
    {
        struct stat st { };
        return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    }

    // Pictures beyond any audio's end; far enough below the range of long long that the sample
    // positions computed from a picture index cannot overflow at any rate.
    constexpr long long kPicturesBeyondAnyEnd = 1'000'000'000'000LL;

    long long pictureAt(double sec, int fps)
    {
        const double picture = sec * fps;
        return picture >= double(kPicturesBeyondAnyEnd) ? kPicturesBeyondAnyEnd
                                                        : std::llround(picture);
    }

    std::string seconds(double sec)
    {
        char text[32];
        std::snprintf(text, sizeof(text), "%g", sec);
        return text;
    }

} // namespace

std::string checkOutput(const Options& o)
{
    if (isFolder(o.render)) {
        DIR* dir = ::opendir(o.render.c_str());
        if (!dir)
            return o.render + ": cannot read the folder: " + shell::systemReason(errno);
        std::string found;
        // The first of them, whatever order the folder lists them in.
        while (const dirent* entry = ::readdir(dir)) {
            if (isFrameName(entry->d_name) && (found.empty() || found > entry->d_name))
                found = entry->d_name;
        }
        ::closedir(dir);
        if (!found.empty())
            return o.render + ": already holds " + found
                + "; numbered pictures go into a folder without any";
        return {};
    }
    if (!isVideoPath(QString::fromStdString(o.render)))
        return o.render + ": not an existing folder, nor a .mp4, .mkv or .webm file";
    const std::string folder = shell::folderOf(o.render);
    if (!isFolder(folder))
        return o.render + ": folder " + folder + " does not exist";
    shell::FileIdentity output;
    shell::FileIdentity input;
    std::string why;
    if (!o.input.empty() && shell::identify(o.render, true, &output, &why)
        && shell::identify(o.input, false, &input, &why) && output == input)
        return o.render + ": is the input file";
    return {};
}

OfflineResult renderOffline(
    const Options& o, media::Feed& feed, long long* pictures, std::string* why)
{
    const int rate = feed.sampleRate();
    const long long first = pictureAt(o.fromSec, o.fps);
    // Known from the start with --to; otherwise once the audio ends.
    long long end
        = o.toSec < 0.0 ? std::numeric_limits<long long>::max() : pictureAt(o.toSec, o.fps);
    if (end <= first) {
        *why = "no picture between --from " + seconds(o.fromSec) + " and --to " + seconds(o.toSec)
            + " at " + std::to_string(o.fps) + " pictures a second";
        return OfflineResult::Failed;
    }

    QString problem;
    auto failed = [&] {
        *why = problem.toStdString();
        return OfflineResult::Failed;
    };
    visual::HeadlessRhi host;
    if (!host.start(o.backend, &problem))
        return failed();
    visual::OffscreenFrame frame(host.rhi());
    if (!frame.setup(o.size, o.msaa, &problem))
        return failed();
    if (frame.renderer().sampleCount() != o.msaa)
        shell::complain(
            visual::sampleCountNote(o.msaa, frame.renderer().sampleCount()).toStdString());

    // Destroyed uncommitted (a failure, a stop), the outputs remove what they wrote.
    std::unique_ptr<shell::OutputFile> videoFile;
    // The encoder's messages say only what failed; a failed write says which file and why.
    auto videoFailed = [&] {
        if (!videoFile->error().empty()) {
            *why = cannotWrite(*videoFile);
            return OfflineResult::Failed;
        }
        return failed();
    };
    std::unique_ptr<VideoWriter> video;
    std::unique_ptr<PngFolder> pngs;
    if (!isFolder(o.render)) {
        videoFile = shell::OutputFile::open(o.render, why);
        if (!videoFile) {
            *why = o.render + ": cannot write: " + *why;
            return OfflineResult::Failed;
        }
        video = VideoWriter::open(*videoFile, QString::fromStdString(o.render), o.size, o.fps,
            feed.channels(), rate, &problem);
        if (!video)
            return videoFailed();
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
    shell::ProgressBar progress(STDERR_FILENO);
    const std::int64_t expected = feed.expectedSamples();
    QByteArray rgba;
    long long written = 0;
    for (long long n = 0;; ++n) {
        if (shell::stopped())
            return OfflineResult::Stopped;
        const int count = clock.next();
        // Past the end, the last picture's hops are silence.
        const bool sound = video && read + count > audioFirst && read < audioEnd;
        const int got = ended ? 0 : feed.read(hop.data(), count, sound ? channels.data() : nullptr);
        if (shell::stopped())
            return OfflineResult::Stopped;
        std::fill(hop.begin() + got, hop.begin() + count, 0.0f);
        if (sound && got > 0) {
            const long long from = std::max(read, audioFirst);
            const long long to = std::min(read + got, audioEnd);
            if (to > from
                && !video->addAudio(
                    channels.data() + (from - read) * feed.channels(), int(to - from), &problem))
                return shell::stopped() ? OfflineResult::Stopped : videoFailed();
        }
        if (!ended && got < count) {
            ended = true;
            const long long total = read + got;
            end = std::min(end, std::llround(double(total) / rate * o.fps));
            if (end <= first) {
                *why = "option '--from' " + seconds(o.fromSec) + " is past the end of the audio ("
                    + shell::clockText(double(total) / rate) + ")";
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
        if (!frame.render(animation.look(), &rgba, &problem))
            return failed();
        if (video
            && !video->addPicture(
                reinterpret_cast<const unsigned char*>(rgba.constData()), &problem))
            return shell::stopped() ? OfflineResult::Stopped : videoFailed();
        if (pngs && !pngs->add(rgba, o.size, why))
            return shell::stopped() ? OfflineResult::Stopped : OfflineResult::Failed;
        ++written;
        // The length is a guess until the audio ends: the declared one, or what was read.
        const long long last = end != std::numeric_limits<long long>::max() ? end
            : expected > 0 ? std::llround(double(expected) / rate * o.fps)
                           : picture + 2;
        progress.update(double(picture + 1 - first) / o.fps,
            double(std::max(last, picture + 1) - first) / o.fps);
        if (picture + 1 >= end)
            break;
    }
    progress.finish();
    if (video && !video->finish(&problem))
        return shell::stopped() ? OfflineResult::Stopped : videoFailed();
    if (shell::stopped())
        return OfflineResult::Stopped;
    const std::vector<shell::OutputFile*> outputs
        = video ? std::vector<shell::OutputFile*> { videoFile.get() } : pngs->outputs();
    const int bad = shell::commitAll(outputs);
    if (bad >= 0) {
        if (shell::stopped())
            return OfflineResult::Stopped;
        *why = cannotWrite(*outputs[std::size_t(bad)]);
        return OfflineResult::Failed;
    }
    *pictures = written;
    return OfflineResult::Done;
}

} // namespace visualiser
