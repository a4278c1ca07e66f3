#include "offline.h"

#include "following.h"

#include "media/analysisloop.h"
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

    // Where the pictures go: a video with the programme's sound, or numbered PNGs in a folder.
    // Destroyed uncommitted (a failure, a stop), it removes what it wrote.
    class RenderTarget {
    public:
        // False, with *why, where the output cannot be opened.
        bool open(const Options& o, const media::Feed& feed, std::string* why)
        {
            if (isFolder(o.render)) {
                pngs_ = std::make_unique<PngFolder>(o.render);
                return true;
            }
            videoFile_ = shell::OutputFile::open(o.render, why);
            if (!videoFile_) {
                *why = o.render + ": cannot write: " + *why;
                return false;
            }
            QString problem;
            video_ = VideoWriter::open(*videoFile_, QString::fromStdString(o.render), o.size, o.fps,
                feed.channels(), feed.sampleRate(), &problem);
            return video_ || videoFailed(problem, why);
        }
        VideoWriter* video() const { return video_.get(); }
        bool addSound(const float* channels, int count, std::string* why)
        {
            QString problem;
            return video_->addAudio(channels, count, &problem) || videoFailed(problem, why);
        }
        bool addPicture(const QByteArray& rgba, QSize size, std::string* why)
        {
            if (pngs_)
                return pngs_->add(rgba, size, why);
            QString problem;
            return video_->addPicture(
                       reinterpret_cast<const unsigned char*>(rgba.constData()), &problem)
                || videoFailed(problem, why);
        }
        bool finishVideo(std::string* why)
        {
            QString problem;
            return !video_ || video_->finish(&problem) || videoFailed(problem, why);
        }
        // False, with *why, where a file could not be named; see shell::commitAll.
        bool commit(std::string* why)
        {
            const std::vector<shell::OutputFile*> outputs
                = video_ ? std::vector<shell::OutputFile*> { videoFile_.get() } : pngs_->outputs();
            const int bad = shell::commitAll(outputs);
            if (bad >= 0)
                *why = cannotWrite(*outputs[std::size_t(bad)]);
            return bad < 0;
        }

    private:
        // The encoder's messages say only what failed; a failed write says which file and why.
        bool videoFailed(const QString& problem, std::string* why) const
        {
            *why = videoFile_->error().empty() ? problem.toStdString() : cannotWrite(*videoFile_);
            return false;
        }

        std::unique_ptr<shell::OutputFile> videoFile_;
        std::unique_ptr<VideoWriter> video_;
        std::unique_ptr<PngFolder> pngs_;
    };

    // The programme read hop by hop for the analysis, and silence past its end. A video's sound,
    // from the first picture's time to the last one's, goes to the video as it is read.
    class RenderHops : public media::HopSource {
    public:
        // stereo: the feed's front left and right as two groups (a mono feed's channel as both),
        // else its mono mix.
        RenderHops(media::Feed& feed, RenderTarget& target, long long audioFirst,
            long long audioEnd, int largestHop, bool stereo)
            : feed_(feed)
            , target_(target)
            , audioFirst_(audioFirst)
            , audioEnd_(audioEnd)
            , stereo_(stereo)
            , channels_(target.video() || stereo ? std::size_t(largestHop * feed.channels()) : 0)
            , mono_(stereo ? std::size_t(largestHop) : 0)
        {
        }
        int fill(float* const* groups, int count) override
        {
            float* hop = stereo_ ? mono_.data() : groups[0];
            const bool sound = target_.video() && read_ + count > audioFirst_ && read_ < audioEnd_;
            const int got = total_ >= 0
                ? 0
                : feed_.read(hop, count, sound || stereo_ ? channels_.data() : nullptr);
            std::fill(hop + got, hop + count, 0.0f);
            if (stereo_)
                splitSides(groups, got, count);
            if (sound && got > 0)
                addSound(got);
            if (total_ < 0 && got < count)
                total_ = read_ + got;
            read_ += count;
            return count;
        }
        // Samples in the programme, -1 until it ended.
        long long total() const { return total_; }
        // Whether the sound could not be added, and why.
        bool soundFailed() const { return soundFailed_; }
        const std::string& soundProblem() const { return soundProblem_; }

    private:
        void splitSides(float* const* groups, int got, int count)
        {
            const int channels = feed_.channels();
            const int right = channels > 1 ? 1 : 0;
            for (int i = 0; i < count; ++i) {
                groups[0][i] = i < got ? channels_[std::size_t(i * channels)] : 0.0f;
                groups[1][i] = i < got ? channels_[std::size_t(i * channels + right)] : 0.0f;
            }
        }

        void addSound(int got)
        {
            const long long from = std::max(read_, audioFirst_);
            const long long to = std::min(read_ + got, audioEnd_);
            const int channels = feed_.channels();
            if (to > from && !soundFailed_)
                soundFailed_ = !target_.addSound(
                    channels_.data() + (from - read_) * channels, int(to - from), &soundProblem_);
        }

        media::Feed& feed_;
        RenderTarget& target_;
        long long audioFirst_;
        long long audioEnd_;
        bool stereo_;
        std::vector<float> channels_;
        std::vector<float> mono_;
        long long read_ = 0;
        long long total_ = -1;
        bool soundFailed_ = false;
        std::string soundProblem_;
    };

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

namespace {

    // One off-line run: the analysis hop by hop from the programme's start, and a picture every
    // hopsPerPicture-th hop from --from until --to or the end of the audio. Each step returns
    // Done to go on.
    class OfflineRun {
    public:
        OfflineRun(const Options& o, media::Feed& feed, std::string* why)
            : o_(o)
            , feed_(feed)
            , rate_(feed.sampleRate())
            , expected_(feed.expectedSamples())
            , why_(why)
            , first_(pictureAt(o.fromSec, o.fps))
            // Known from the start with --to; otherwise once the audio ends.
            , end_(o.toSec < 0.0 ? kUnknownEnd : pictureAt(o.toSec, o.fps))
        {
        }
        OfflineResult run(long long* pictures)
        {
            OfflineResult result = start();
            if (result == OfflineResult::Done)
                result = renderAll();
            if (result == OfflineResult::Done)
                result = finish();
            *pictures = written_;
            return result;
        }

    private:
        static constexpr long long kUnknownEnd = std::numeric_limits<long long>::max();

        OfflineResult failed(const QString& problem)
        {
            *why_ = problem.toStdString();
            return OfflineResult::Failed;
        }
        // A failed output: as much a consequence of a stop as a cause of its own.
        static OfflineResult failedOrStopped()
        {
            return shell::stopped() ? OfflineResult::Stopped : OfflineResult::Failed;
        }

        OfflineResult start()
        {
            if (end_ <= first_) {
                *why_ = "no picture between --from " + seconds(o_.fromSec) + " and --to "
                    + seconds(o_.toSec) + " at " + std::to_string(o_.fps) + " pictures a second";
                return OfflineResult::Failed;
            }
            QString problem;
            if (!host_.start(o_.backend, &problem))
                return failed(problem);
            frame_ = std::make_unique<visual::OffscreenFrame>(host_.rhi());
            frame_->renderer().setPalette(o_.palette);
            if (!frame_->setup(o_.size, o_.msaa, &problem))
                return failed(problem);
            if (frame_->renderer().sampleCount() != o_.msaa)
                shell::complain(visual::sampleCountNote(o_.msaa, frame_->renderer().sampleCount())
                                    .toStdString());
            if (!target_.open(o_, feed_, why_))
                return OfflineResult::Failed;
            progress_ = std::make_unique<shell::ProgressBar>(STDERR_FILENO);
            return OfflineResult::Done;
        }

        // One analysis hop per 1/60 s from the very start, so that the gain and presence at --from
        // are what they would be when playing; a picture every hop at 60 fps, every other at 30.
        OfflineResult renderAll()
        {
            const int hopsPerPicture = dsp::kFrameRateHz / o_.fps;
            const bool stereo = o_.layout == shell::Layout::Stereo;
            media::AnalysisLoop loop(rate_, stereo ? 2 : 1);
            Animated animated;
            animated.setBeatPulse(o_.beatPulse);
            loop.addConsumer(animated);
            // The sound between the first picture's time and the last one's.
            RenderHops hops(feed_, target_, first_ * rate_ / o_.fps,
                end_ == kUnknownEnd ? kUnknownEnd : end_ * rate_ / o_.fps, loop.largestHop(),
                stereo);
            for (long long n = 1;; ++n) {
                if (shell::stopped())
                    return OfflineResult::Stopped;
                loop.step(hops);
                const OfflineResult read = afterHop(hops);
                if (read != OfflineResult::Done)
                    return read;
                const long long picture = n / hopsPerPicture - 1;
                if (n % hopsPerPicture != 0 || picture < first_)
                    continue;
                if (picture >= end_)
                    break;
                const OfflineResult drawn = draw(animated.look(), picture);
                if (drawn != OfflineResult::Done || picture + 1 >= end_)
                    return drawn;
            }
            return OfflineResult::Done;
        }

        // What a hop's reading said: a stop, a failed sound, the end of the audio.
        OfflineResult afterHop(const RenderHops& hops)
        {
            if (shell::stopped())
                return OfflineResult::Stopped;
            if (hops.soundFailed()) {
                *why_ = hops.soundProblem();
                return failedOrStopped();
            }
            if (audioEnded_ || hops.total() < 0)
                return OfflineResult::Done;
            audioEnded_ = true;
            end_ = std::min(end_, std::llround(double(hops.total()) / rate_ * o_.fps));
            if (end_ > first_)
                return OfflineResult::Done;
            *why_ = "option '--from' " + seconds(o_.fromSec) + " is past the end of the audio ("
                + shell::clockText(double(hops.total()) / rate_) + ")";
            return OfflineResult::Failed;
        }

        OfflineResult draw(const visual::Look& look, long long picture)
        {
            QString problem;
            if (!frame_->render(look, &rgba_, &problem))
                return failed(problem);
            if (!target_.addPicture(rgba_, o_.size, why_))
                return failedOrStopped();
            ++written_;
            // The length is a guess until the audio ends: the declared one, or what was read.
            const long long last = end_ != kUnknownEnd ? end_
                : expected_ > 0 ? std::llround(double(expected_) / rate_ * o_.fps)
                                : picture + 2;
            progress_->update(double(picture + 1 - first_) / o_.fps,
                double(std::max(last, picture + 1) - first_) / o_.fps);
            return OfflineResult::Done;
        }

        OfflineResult finish()
        {
            progress_->finish();
            if (!target_.finishVideo(why_))
                return failedOrStopped();
            if (shell::stopped())
                return OfflineResult::Stopped;
            if (!target_.commit(why_))
                return failedOrStopped();
            return OfflineResult::Done;
        }

        const Options& o_;
        media::Feed& feed_;
        int rate_;
        std::int64_t expected_;
        std::string* why_;
        long long first_;
        long long end_;
        bool audioEnded_ = false;
        visual::HeadlessRhi host_;
        std::unique_ptr<visual::OffscreenFrame> frame_;
        // Destroyed uncommitted (a failure, a stop), it removes what it wrote.
        RenderTarget target_;
        std::unique_ptr<shell::ProgressBar> progress_;
        QByteArray rgba_;
        long long written_ = 0;
    };

} // namespace

OfflineResult renderOffline(
    const Options& o, media::Feed& feed, long long* pictures, std::string* why)
{
    long long written = 0;
    const OfflineResult result = OfflineRun(o, feed, why).run(&written);
    if (result == OfflineResult::Done)
        *pictures = written;
    return result;
}

} // namespace visualiser
