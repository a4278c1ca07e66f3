#include "run.h"

#include "analysis.h"
#include "csv.h"
#include "media/demo.h"
#ifdef BANDVIEW_CAPTURE
#include "capture/livefeed.h"
#endif
#include "media/audiodecoder.h"
#include "terminal.h"

#include <QBuffer>
#include <QImageWriter>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <thread>
#include <unistd.h>

namespace bandview {

namespace {

    using Clock = std::chrono::steady_clock;
    constexpr auto kFramePeriod = std::chrono::duration<double>(1.0 / dsp::kFrameRateHz);
    // The picture goes out in pieces of this size, so that a stop signal is seen while it is
    // written.
    constexpr std::size_t kWriteChunkBytes = 64 * 1024;
    constexpr int kPausedPollMs = 100;

    std::string local(const QString& s)
    {
        return s.toLocal8Bit().toStdString();
    }

    std::string subjectOf(const InputDescription& input)
    {
        return input.isDemo() ? std::string("demo") : input.path;
    }

    // What only a live capture has to say: its state for the status line, what happens to it
    // while no status line shows, and a line at the end. Nothing for a file or the demo.
    class LiveLines {
    public:
#ifdef BANDVIEW_CAPTURE
        explicit LiveLines(media::Feed& source)
            : live_(dynamic_cast<capture::LiveFeed*>(&source))
        {
        }
        std::string note() const
        {
            return live_ ? live_->statusNote() : std::string();
        }
        std::string report() const
        {
            return live_ ? live_->report() : std::string();
        }
        void sayEvents(bool shown)
        {
            if (live_)
                live_->reportEvents(shown ? nullptr : say);
        }

    private:
        capture::LiveFeed* live_;
#else
        explicit LiveLines(media::Feed&) { }
        std::string note() const
        {
            return {};
        }
        std::string report() const
        {
            return {};
        }
        void sayEvents(bool) { }
#endif
    };

    // What ended the loop over the hops.
    enum class End { Input, Key, Duration, Stopped, OutputFailed };

    struct Sinks {
        CsvWriter* csv;
        PictureData* picture;
        RawWriter* raw;
        bool add(const TimedFrame& f)
        {
            if (picture)
                picture->add(f);
            return (!csv || csv->add(f)) && (!raw || raw->add(f));
        }
    };

    Clock::duration seconds(double sec)
    {
        return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(sec));
    }

    // The hops and what they feed, shared by both loops: returns the step, or sets *end.
    struct Hopper {
        Analysis& analysis;
        Sinks& sinks;
        std::int64_t limitSamples; // below 0: none

        bool next(Analysis::Step* step, End* end)
        {
            if (stopSignal() != 0) {
                *end = End::Stopped;
                return false;
            }
            if (limitSamples >= 0 && analysis.samplesRead() >= limitSamples) {
                *end = End::Duration;
                return false;
            }
            *step = analysis.advance();
            if (*step == Analysis::Step::End) {
                *end = End::Input;
                return false;
            }
            if (*step == Analysis::Step::Frame && !sinks.add(analysis.frame())) {
                *end = End::OutputFailed;
                return false;
            }
            return true;
        }
    };

    End runOffline(Hopper& hopper, double totalSec, bool progress, bool realtime)
    {
        ProgressBar bar(progress ? STDERR_FILENO : -1);
        const Clock::time_point origin = Clock::now();
        Analysis::Step step;
        End end;
        while (hopper.next(&step, &end)) {
            bar.update(hopper.analysis.secondsRead(), totalSec);
            // The frame is out when its audio has played, as in the live view.
            if (realtime)
                std::this_thread::sleep_until(origin + seconds(hopper.analysis.secondsRead()));
        }
        return end;
    }

    End runLive(Hopper& hopper, const InputDescription& input, media::Feed& source,
        const RunSettings& settings, double totalSec)
    {
        Analysis& analysis = hopper.analysis;
        Keyboard keys;
        LiveView view(settings.viewFd, input.title, analysis.bandCentersHz());
        const bool paced = !settings.fast && !input.realTime;
        // The wall-clock time at which audio time 0 plays; it moves on by every pause and
        // suspension, so that the view resumes where it stopped.
        Clock::time_point origin = Clock::now();
        Clock::time_point lastDraw = origin - std::chrono::hours(1);
        double shownSec = 0.0;
        bool haveFrame = false;
        const LiveLines live(source);
        auto draw = [&](const std::string& sectionNote) {
            // A live source's state (source, latency, drops, a lost server) takes the place of
            // the demo's section names.
            const std::string note = live.note();
            view.draw(analysis.frame().frame, analysis.frame().timeSec, totalSec,
                note.empty() ? sectionNote : note);
            lastDraw = Clock::now();
        };
        auto resync = [&] { origin = Clock::now() - seconds(shownSec); };
        Analysis::Step step;
        End end = End::Input;
        for (;;) {
            if (takeContinued()) {
                keys.resume();
                view.resume();
                resync();
            }
            if (takeResized())
                view.invalidate();
            Keyboard::Key key = keys.next();
            if (key == Keyboard::Key::Quit) {
                end = End::Key;
                break;
            }
            if (key == Keyboard::Key::Pause) {
                if (haveFrame)
                    draw("paused");
                for (key = Keyboard::Key::None; key == Keyboard::Key::None && stopSignal() == 0;) {
                    key = keys.next(kPausedPollMs);
                    const bool continued = takeContinued();
                    if (continued) {
                        keys.resume();
                        view.resume();
                    }
                    if (takeResized() || continued) {
                        view.invalidate();
                        if (haveFrame)
                            draw("paused");
                    }
                }
                if (key == Keyboard::Key::Quit) {
                    end = End::Key;
                    break;
                }
                resync();
            }
            if (!hopper.next(&step, &end))
                break;
            if (step != Analysis::Step::Frame)
                continue;
            haveFrame = true;
            const double sec = analysis.frame().timeSec;
            const Clock::time_point now = Clock::now();
            if (!paced) {
                // Drawing more often than the screen refreshes would only slow the run down.
                shownSec = sec;
                if (now - lastDraw >= kFramePeriod)
                    draw(input.noteAt(sec));
                continue;
            }
            const Clock::time_point due = origin + seconds(sec);
            if (now < due)
                std::this_thread::sleep_until(due);
            shownSec = sec;
            // Behind real time, the drawing is skipped, never the analysis.
            if (now - due <= kFramePeriod)
                draw(input.noteAt(sec));
        }
        if (haveFrame && end != End::Stopped)
            draw(input.noteAt(analysis.frame().timeSec));
        return end;
    }

    // How much audio the first frame needs: a full analysis window, however the hops cut it
    // (the last one may be short).
    double firstFrameSec(const Analysis& analysis)
    {
        return static_cast<double>(analysis.analyzer().fftSize()) / analysis.sampleRate();
    }

    bool writePicture(OutputFile& out, const PictureData& data, QSize size, std::string* error)
    {
        QByteArray bytes;
        {
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, "png");
            if (!writer.write(renderPicture(data, size))) {
                *error = local(writer.errorString());
                return false;
            }
        }
        for (qsizetype done = 0; done < bytes.size();) {
            if (stopSignal() != 0)
                return false;
            const std::size_t n
                = std::min(kWriteChunkBytes, static_cast<std::size_t>(bytes.size() - done));
            if (!out.write(bytes.constData() + done, n) || !out.flush()) {
                *error = out.error();
                return false;
            }
            done += static_cast<qsizetype>(n);
        }
        return true;
    }

    // Leaves out of files the outputs whose reader went away (a closed pipe): the run ends there
    // as q ends it, and writes the others. True when there was one.
    bool leaveOutReaderless(std::vector<OutputFile*>& files)
    {
        const auto gone = std::remove_if(
            files.begin(), files.end(), [](const OutputFile* out) { return out->readerGone(); });
        const bool any = gone != files.end();
        files.erase(gone, files.end());
        return any;
    }

    std::string cannotWrite(const OutputFile& out, const std::string& reason)
    {
        return "bandview: " + out.path() + ": cannot write: " + reason;
    }

} // namespace

InputDescription InputDescription::demo()
{
    InputDescription d;
    d.title = QStringLiteral("built-in demo");
    d.name = "demo";
    d.dir = "demo";
    for (const media::DemoSection& s : media::kDemoSections)
        d.sections.push_back({ QString::fromLatin1(s.name), s.startSec, s.endSec });
    return d;
}

InputDescription InputDescription::file(const std::string& path)
{
    InputDescription d;
    d.path = path;
    if (path == "-") {
        d.title = QStringLiteral("standard input");
        d.name = "stdin";
        d.dir = "stdin";
        return d;
    }
    const std::string base = path.substr(path.rfind('/') + 1);
    // The folder's own name, also for ".", ".." and a bare file name (the current folder).
    const std::string folder = shell::folderOf(path);
    char real[PATH_MAX];
    const std::string resolved = ::realpath(folder.c_str(), real) ? real : folder;
    const std::size_t cut = resolved.find_last_not_of('/');
    if (cut == std::string::npos) {
        d.dir = "root";
    } else {
        const std::size_t start = resolved.rfind('/', cut);
        d.dir = resolved.substr(start == std::string::npos ? 0 : start + 1,
            cut - (start == std::string::npos ? 0 : start + 1) + 1);
    }
    const std::size_t dot = base.rfind('.');
    d.name = dot == std::string::npos || dot == 0 ? base : base.substr(0, dot);
    d.title = QString::fromLocal8Bit(base.c_str());
    return d;
}

std::string InputDescription::noteAt(double timeSec) const
{
    for (const Section& s : sections) {
        if (timeSec >= s.startSec && timeSec < s.endSec)
            return s.name.toStdString();
    }
    return {};
}

InputDescription InputDescription::capture(const std::string& source)
{
    InputDescription d;
    d.path = "capture";
    d.captureSource = source;
    d.title = source.empty() ? QStringLiteral("what is playing") : QString::fromStdString(source);
    d.name = "capture";
    d.dir = "capture";
    d.realTime = true;
    return d;
}

std::unique_ptr<media::Feed> openSource(const InputDescription& input, std::string* reason)
{
#ifdef BANDVIEW_CAPTURE
    if (input.realTime)
        return capture::LiveFeed::open("bandview",
            input.captureSource.empty() ? capture::kDefaultMonitor : input.captureSource, reason);
#endif
    // The feed takes an empty path for the demo.
    return media::openFeed(input.path, reason);
}

int runInput(const InputDescription& input, media::Feed& source, RunOutputs& outputs,
    const RunSettings& settings)
{
    const Clock::time_point started = Clock::now();
    const std::string subject = subjectOf(input);
    // A run paced by the music does not wait for a FIFO's next reader: it would fall behind.
    const bool paced = settings.live || settings.realtime || input.realTime;
    std::vector<OutputFile*> files;
    for (OutputFile* out : { outputs.csv.get(), outputs.png.get(), outputs.raw.get() }) {
        if (out) {
            out->setDropsWhileUnread(paced);
            files.push_back(out);
        }
    }
    auto failed = [&](const std::string& line) {
        for (OutputFile* out : files)
            out->discard();
        say(line);
        return kExitBadInput;
    };
    auto stopped = [&] {
        for (OutputFile* out : files)
            out->discard();
        return kExitSignalBase + stopSignal();
    };

    Analysis analysis(source);
    std::unique_ptr<CsvWriter> csv;
    if (outputs.csv)
        csv = std::make_unique<CsvWriter>(*outputs.csv, analysis.analyzer().bandCount());
    std::unique_ptr<PictureData> picture;
    if (outputs.png)
        picture = std::make_unique<PictureData>(
            input.title, analysis.sampleRate(), analysis.bandCentersHz(), input.sections);
    std::unique_ptr<RawWriter> raw;
    if (outputs.raw)
        raw = std::make_unique<RawWriter>(*outputs.raw, settings.rawFormat, settings.rawMax);
    Sinks sinks { csv.get(), picture.get(), raw.get() };
    const std::int64_t limit = settings.durationSec >= 0.0
        ? std::llround(settings.durationSec * analysis.sampleRate())
        : -1;
    Hopper hopper { analysis, sinks, limit };
    const std::int64_t expected = source.expectedSamples();
    double totalSec = expected > 0 ? static_cast<double>(expected) / analysis.sampleRate() : -1.0;
    if (settings.durationSec >= 0.0)
        totalSec
            = totalSec >= 0.0 ? std::min(totalSec, settings.durationSec) : settings.durationSec;

    LiveLines live(source);
    live.sayEvents(settings.live);
    End end = settings.live
        ? runLive(hopper, input, source, settings, totalSec)
        : runOffline(hopper, totalSec, settings.progress, settings.realtime && !input.realTime);
    const std::string report = live.report();
    if (!report.empty())
        say(report);
    // A stop signal interrupts a blocked write: the output failed because the run was stopped.
    if (end == End::Stopped || (end == End::OutputFailed && stopSignal() != 0))
        return stopped();
    if (end == End::OutputFailed && leaveOutReaderless(files))
        end = End::Key;
    if (end == End::OutputFailed) {
        OutputFile& bad
            = outputs.csv && !outputs.csv->error().empty() ? *outputs.csv : *outputs.raw;
        return failed(cannotWrite(bad, bad.error()));
    }
    if (analysis.frameCount() == 0) {
        char line[160];
        // In samples as well: a file one sample short reads the same in milliseconds.
        std::snprintf(line, sizeof(line),
            ": too short: %lld samples (%.3f s) of audio, the first analysis frame needs %d "
            "(%.3f s)",
            static_cast<long long>(analysis.samplesRead()), analysis.secondsRead(),
            analysis.analyzer().fftSize(), firstFrameSec(analysis));
        return failed("bandview: " + subject + line);
    }

    if (outputs.png) {
        std::string why;
        if (!writePicture(*outputs.png, *picture, settings.pictureSize, &why)) {
            if (stopSignal() != 0)
                return stopped();
            if (!leaveOutReaderless(files))
                return failed(cannotWrite(*outputs.png, why));
        }
    }
    if (stopSignal() != 0)
        return stopped();
    const int bad = commitAll(files);
    if (bad >= 0) {
        if (stopSignal() != 0)
            return kExitSignalBase + stopSignal();
        return failed(cannotWrite(*files[std::size_t(bad)], files[std::size_t(bad)]->error()));
    }

    const double wallSec = std::chrono::duration<double>(Clock::now() - started).count();
    char summary[160];
    std::snprintf(summary, sizeof(summary), ": %s of audio at %d Hz, %lld frames in %.2f s",
        clockText(analysis.secondsRead()).c_str(), analysis.sampleRate(),
        static_cast<long long>(analysis.frameCount()), wallSec);
    // The input as given: six track10.ogg from six folders are six different lines.
    std::string line = subject + summary;
    if (outputs.png)
        line += "; picture " + outputs.png->path();
    if (outputs.csv)
        line += "; data " + outputs.csv->path();
    if (outputs.raw)
        line += "; raw " + outputs.raw->path();
    say(line);
    // Damaged input still gives its outputs, and says once what was wrong.
    const media::DecodeDamage* damage = source.damage();
    if (damage && damage->any()) {
        say("bandview: " + subject + ": warning: " + damage->warning());
        return kExitDamaged;
    }
    return kExitClean;
}

} // namespace bandview
