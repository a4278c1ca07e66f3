#include "run.h"

#include "analysis.h"
#include "csv.h"
#include "media/demo.h"
#ifdef BANDVIEW_CAPTURE
#include "capture/livefeed.h"
#include "shell/sources.h"
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
    // How long the status line shows what the configuration file said.
    constexpr auto kToldFor = std::chrono::seconds(5);

    std::string local(const QString& s)
    {
        return s.toLocal8Bit().toStdString();
    }

    std::string subjectOf(const InputDescription& input)
    {
        return input.isDemo() ? std::string("demo") : input.path;
    }

    // What only a live capture has to say: its state for the status line, what happens to it
    // while no status line shows, and a line at the end; and the frame to show of each one made,
    // held back until its sound is heard, as the LED packets are. Nothing for a file or the demo,
    // whose frames show as they are made.
    class LiveLines {
    public:
#ifdef BANDVIEW_CAPTURE
        LiveLines(media::Feed& source, shell::Config* config, shell::WledFrames* wled)
            : live_(dynamic_cast<capture::LiveFeed*>(&source))
            , config_(live_ ? config : nullptr)
            , wled_(wled)
        {
            if (live_)
                delay_ = std::make_unique<media::FrameDelay>();
            // The delay the file gives changes while the capture runs.
            if (config_)
                config_->onChange("delay", [this](const std::string& value) {
                    int ms = 0;
                    if (shell::parseDelay(value, &ms).empty())
                        live_->setExtraDelayMs(ms);
                });
        }
        ~LiveLines()
        {
            if (config_)
                config_->onChange("delay", nullptr);
        }
        LiveLines(const LiveLines&) = delete;
        LiveLines& operator=(const LiveLines&) = delete;
        const TimedFrame& shown(const TimedFrame& made)
        {
            if (!delay_)
                return made;
            // The output's latency may change while the capture runs.
            delay_->setDelay(media::delayTicks(live_->delayMs()));
            if (wled_)
                wled_->setDelayMs(live_->delayMs());
            return delay_->shift(made);
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
        shell::Config* config_;
        shell::WledFrames* wled_;
        std::unique_ptr<media::FrameDelay> delay_;
#else
        LiveLines(media::Feed&, shell::Config*, shell::WledFrames*) { }
        const TimedFrame& shown(const TimedFrame& made)
        {
            return made;
        }
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

    // The data rows and the picture take each frame with the sound's own time; the raw stream,
    // as the view, the frame shown now.
    struct Sinks {
        CsvWriter* csv;
        PictureData* picture;
        RawWriter* raw;
        LiveLines& live;
        const TimedFrame* shown = nullptr;
        // The time of the last beat shown, so that the view lights the tempo for it however many
        // frames its drawing skips.
        double beatSec = -1.0;
        bool add(const TimedFrame& f)
        {
            if (picture)
                picture->add(f);
            shown = &live.shown(f);
            if (shown->beat.onset)
                beatSec = shown->timeSec;
            return (!csv || csv->add(f)) && (!raw || raw->add(*shown));
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
        shell::Config* config; // followed between hops; null when not

        bool next(Analysis::Step* step, End* end)
        {
            if (config)
                config->follow();
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

    // The live view and what it last drew.
    struct LiveScreen {
        LiveScreen(const RunSettings& settings, const InputDescription& input,
            const LiveLines& live, const Analysis& analysed, const Sinks& fed, double total)
            : view(settings.viewFd, input.title, analysed.bandCentersHz(), settings.theme,
                settings.layout, settings.reverse)
            , source(live)
            , sinks(fed)
            , totalSec(total)
            , config(settings.config)
        {
            // A line on standard error would land in the middle of the view: what the
            // configuration file has to say shows in the status line instead, for a while.
            if (!config)
                return;
            config->setSay([this](const std::string& line) {
                told = line;
                toldUntil = Clock::now() + kToldFor;
            });
            // What is drawn changes as the file does; the sides analysed do not.
            config->onChange("theme", [this](const std::string& value) {
                shell::Theme theme;
                if (shell::parseTheme(value, &theme).empty())
                    view.setTheme(theme);
            });
            config->onChange("reverse", [this](const std::string& value) {
                view.setLayout(view.layout(), value == "true");
            });
            const bool stereo = settings.layout == shell::Layout::Stereo;
            config->onChange("layout", [this, stereo](const std::string& value) {
                shell::Layout layout = shell::Layout::Bars;
                const std::vector<shell::Layout> all { shell::Layout::Bars, shell::Layout::Mirror,
                    shell::Layout::Stereo };
                if (!shell::parseLayout(value, all, &layout).empty())
                    return;
                if ((layout == shell::Layout::Stereo) == stereo) {
                    view.setLayout(layout, view.reverse());
                } else {
                    // Stereo takes an analyser a side, made at the start.
                    told = "layout " + value + " changes at the next start";
                    toldUntil = Clock::now() + kToldFor;
                }
            });
        }
        ~LiveScreen()
        {
            if (!config)
                return;
            config->setSay(nullptr);
            for (const char* key : { "theme", "reverse", "layout" })
                config->onChange(key, nullptr);
        }
        LiveScreen(const LiveScreen&) = delete;
        LiveScreen& operator=(const LiveScreen&) = delete;

        void draw(const std::string& sectionNote)
        {
            // A live source's state (source, latency, drops, a lost server) takes the place of
            // the demo's section names, and what the configuration file said that of both.
            const std::string note = Clock::now() < toldUntil ? told : source.note();
            const TimedFrame& f = *sinks.shown;
            const bool beat = sinks.beatSec >= 0.0 && f.timeSec - sinks.beatSec < kBeatFlashSec;
            view.draw(f.frame, f.right, f.timeSec, totalSec, note.empty() ? sectionNote : note,
                f.beat.bpm, beat);
            lastDraw = Clock::now();
        }

        void drawPaused()
        {
            if (haveFrame)
                draw("paused");
        }

        LiveView view;
        const LiveLines& source;
        const Sinks& sinks;
        double totalSec;
        Clock::time_point lastDraw = Clock::now() - std::chrono::hours(1);
        bool haveFrame = false;
        shell::Config* config;
        std::string told;
        Clock::time_point toldUntil;
    };

    // Holds the paused view until a key or a stop signal comes, drawing it again where the
    // terminal came back or changed size. Returns the key.
    Keyboard::Key holdPaused(Keyboard& keys, LiveScreen& screen)
    {
        Keyboard::Key key = Keyboard::Key::None;
        while (key == Keyboard::Key::None && stopSignal() == 0) {
            key = keys.next(kPausedPollMs);
            if (screen.config)
                screen.config->follow();
            const bool continued = takeContinued();
            if (continued) {
                keys.resume();
                screen.view.resume();
            }
            if (takeResized() || continued) {
                screen.view.invalidate();
                screen.drawPaused();
            }
        }
        return key;
    }

    End runLive(Hopper& hopper, const InputDescription& input, const LiveLines& live,
        const RunSettings& settings, double totalSec)
    {
        const Analysis& analysis = hopper.analysis;
        Keyboard keys;
        LiveScreen screen(settings, input, live, analysis, hopper.sinks, totalSec);
        const bool paced = !settings.fast && !input.realTime;
        // The wall-clock time at which audio time 0 plays; it moves on by every pause and
        // suspension, so that the view resumes where it stopped.
        Clock::time_point origin = Clock::now();
        double shownSec = 0.0;
        auto resync = [&] { origin = Clock::now() - seconds(shownSec); };
        Analysis::Step step;
        End end = End::Input;
        for (;;) {
            if (takeContinued()) {
                keys.resume();
                screen.view.resume();
                resync();
            }
            if (takeResized())
                screen.view.invalidate();
            Keyboard::Key key = keys.next();
            if (key == Keyboard::Key::Pause) {
                screen.drawPaused();
                key = holdPaused(keys, screen);
                if (key != Keyboard::Key::Quit)
                    resync();
            }
            if (key == Keyboard::Key::Quit) {
                end = End::Key;
                break;
            }
            if (!hopper.next(&step, &end))
                break;
            if (step != Analysis::Step::Frame)
                continue;
            screen.haveFrame = true;
            const double sec = analysis.frame().timeSec;
            const Clock::time_point now = Clock::now();
            if (!paced) {
                // Drawing more often than the screen refreshes would only slow the run down.
                shownSec = sec;
                if (now - screen.lastDraw >= kFramePeriod)
                    screen.draw(input.noteAt(sec));
                continue;
            }
            const Clock::time_point due = origin + seconds(sec);
            if (now < due)
                std::this_thread::sleep_until(due);
            shownSec = sec;
            // Behind real time, the drawing is skipped, never the analysis.
            if (now - due <= kFramePeriod)
                screen.draw(input.noteAt(sec));
        }
        if (screen.haveFrame && end != End::Stopped)
            screen.draw(input.noteAt(analysis.frame().timeSec));
        return end;
    }

    // How much audio the first frame needs: a full analysis window, however the hops cut it
    // (the last one may be short).
    double firstFrameSec(const Analysis& analysis)
    {
        return static_cast<double>(analysis.analyzer().fftSize()) / analysis.sampleRate();
    }

    bool writePicture(
        OutputFile& out, const PictureData& data, const RunSettings& settings, std::string* error)
    {
        QByteArray bytes;
        {
            QBuffer buffer(&bytes);
            buffer.open(QIODevice::WriteOnly);
            QImageWriter writer(&buffer, "png");
            if (!writer.write(renderPicture(data, settings.pictureSize, settings.theme))) {
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

    // The run's open outputs: every one is thrown away when the run fails or is stopped.
    struct RunFiles {
        RunFiles(const RunOutputs& outputs, bool paced)
        {
            for (OutputFile* out : { outputs.csv.get(), outputs.png.get(), outputs.raw.get() }) {
                if (out) {
                    out->setDropsWhileUnread(paced);
                    open.push_back(out);
                }
            }
        }

        int failed(const std::string& line)
        {
            discardAll();
            say(line);
            return kExitBadInput;
        }

        int stopped()
        {
            discardAll();
            return kExitSignalBase + stopSignal();
        }

        void discardAll()
        {
            for (OutputFile* out : open)
                out->discard();
        }

        std::vector<OutputFile*> open;
    };

    // What turns the frames into each output asked for.
    struct Writers {
        Writers(const RunOutputs& outputs, const Analysis& analysis, const InputDescription& input,
            const RunSettings& settings)
        {
            if (outputs.csv)
                csv = std::make_unique<CsvWriter>(
                    *outputs.csv, analysis.analyzer().bandCount(), analysis.stereo());
            if (outputs.png)
                picture = std::make_unique<PictureData>(input.title, analysis.sampleRate(),
                    analysis.bandCentersHz(), input.sections, analysis.stereo(), settings.reverse);
            if (outputs.raw)
                raw = std::make_unique<RawWriter>(*outputs.raw, settings.rawFormat, settings.rawMax,
                    analysis.stereo(), settings.rawBeat);
        }

        std::unique_ptr<CsvWriter> csv;
        std::unique_ptr<PictureData> picture;
        std::unique_ptr<RawWriter> raw;
    };

    // The samples --duration allows; below 0 where it is not given.
    std::int64_t limitSamples(const Analysis& analysis, const RunSettings& settings)
    {
        return settings.durationSec >= 0.0
            ? std::llround(settings.durationSec * analysis.sampleRate())
            : -1;
    }

    // How long the run is expected to last, for the progress and the view; below 0 where unknown.
    double expectedSec(
        const media::Feed& source, const Analysis& analysis, const RunSettings& settings)
    {
        const std::int64_t expected = source.expectedSamples();
        const double totalSec
            = expected > 0 ? static_cast<double>(expected) / analysis.sampleRate() : -1.0;
        if (settings.durationSec < 0.0)
            return totalSec;
        return totalSec >= 0.0 ? std::min(totalSec, settings.durationSec) : settings.durationSec;
    }

    std::string tooShort(const Analysis& analysis)
    {
        char line[160];
        // In samples as well: a file one sample short reads the same in milliseconds.
        std::snprintf(line, sizeof(line),
            ": too short: %lld samples (%.3f s) of audio, the first analysis frame needs %d "
            "(%.3f s)",
            static_cast<long long>(analysis.samplesRead()), analysis.secondsRead(),
            analysis.analyzer().fftSize(), firstFrameSec(analysis));
        return line;
    }

    // Writes the picture and commits every output: kExitClean, or the status to end with.
    int writeOutputs(RunFiles& files, const RunOutputs& outputs, const PictureData* picture,
        const RunSettings& settings)
    {
        if (outputs.png) {
            std::string why;
            if (!writePicture(*outputs.png, *picture, settings, &why)) {
                if (stopSignal() != 0)
                    return files.stopped();
                if (!leaveOutReaderless(files.open))
                    return files.failed(cannotWrite(*outputs.png, why));
            }
        }
        if (stopSignal() != 0)
            return files.stopped();
        const int bad = commitAll(files.open);
        if (bad >= 0) {
            if (stopSignal() != 0)
                return kExitSignalBase + stopSignal();
            OutputFile& failed = *files.open[std::size_t(bad)];
            return files.failed(cannotWrite(failed, failed.error()));
        }
        return kExitClean;
    }

    std::string summaryOf(const Analysis& analysis, double wallSec)
    {
        char summary[160];
        std::snprintf(summary, sizeof(summary), ": %s of audio at %d Hz, %lld frames in %.2f s",
            clockText(analysis.secondsRead()).c_str(), analysis.sampleRate(),
            static_cast<long long>(analysis.frameCount()), wallSec);
        return summary;
    }

    std::string outputsOf(const RunOutputs& outputs)
    {
        std::string line;
        if (outputs.png)
            line += "; picture " + outputs.png->path();
        if (outputs.csv)
            line += "; data " + outputs.csv->path();
        if (outputs.raw)
            line += "; raw " + outputs.raw->path();
        return line;
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

InputDescription InputDescription::capture(
    const std::string& source, const std::string& backend, int delayMs)
{
    InputDescription d;
    d.path = "capture";
    d.captureSource = source;
    d.captureBackend = backend;
    d.delayMs = delayMs;
    d.title = source.empty() ? QStringLiteral("what is playing") : QString::fromStdString(source);
    d.name = "capture";
    d.dir = "capture";
    d.realTime = true;
    return d;
}

std::unique_ptr<media::Feed> openSource(const InputDescription& input, std::string* reason)
{
#ifdef BANDVIEW_CAPTURE
    if (input.realTime) {
        std::unique_ptr<capture::LiveFeed> live = capture::LiveFeed::open("bandview",
            input.captureSource.empty() ? capture::kDefaultMonitor : input.captureSource, reason,
            shell::captureBackend(input.captureBackend));
        if (live)
            live->setExtraDelayMs(input.delayMs);
        return live;
    }
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
    RunFiles files(outputs, settings.live || settings.realtime || input.realTime);
    Analysis analysis(source, settings.layout == shell::Layout::Stereo);
    const Writers writers(outputs, analysis, input, settings);
    std::unique_ptr<shell::WledOutput> wled;
    std::unique_ptr<shell::WledFrames> wledFrames;
    if (settings.wled) {
        wled = std::make_unique<shell::WledOutput>(settings.wledTarget);
        wledFrames = std::make_unique<shell::WledFrames>(*wled, analysis.loop());
        analysis.addConsumer(*wledFrames);
    }
    LiveLines live(source, settings.config, wledFrames.get());
    Sinks sinks { writers.csv.get(), writers.picture.get(), writers.raw.get(), live };
    Hopper hopper { analysis, sinks, limitSamples(analysis, settings), settings.config };
    const double totalSec = expectedSec(source, analysis, settings);

    live.sayEvents(settings.live);
    const End end = settings.live
        ? runLive(hopper, input, live, settings, totalSec)
        : runOffline(hopper, totalSec, settings.progress, settings.realtime && !input.realTime);
    const std::string report = live.report();
    if (!report.empty())
        say(report);
    // A stop signal interrupts a blocked write: the output failed because the run was stopped.
    if (end == End::Stopped || (end == End::OutputFailed && stopSignal() != 0))
        return files.stopped();
    // An output whose reader went away ends the run as q does.
    if (end == End::OutputFailed && !leaveOutReaderless(files.open)) {
        OutputFile& bad
            = outputs.csv && !outputs.csv->error().empty() ? *outputs.csv : *outputs.raw;
        return files.failed(cannotWrite(bad, bad.error()));
    }
    if (analysis.frameCount() == 0)
        return files.failed("bandview: " + subject + tooShort(analysis));
    const int written = writeOutputs(files, outputs, writers.picture.get(), settings);
    if (written != kExitClean)
        return written;

    say(subject + summaryOf(analysis, std::chrono::duration<double>(Clock::now() - started).count())
        + outputsOf(outputs) + (wled ? wled->summary() : std::string()));
    // Damaged input still gives its outputs, and says once what was wrong.
    const media::DecodeDamage* damage = source.damage();
    if (damage && damage->any()) {
        say("bandview: " + subject + ": warning: " + damage->warning());
        return kExitDamaged;
    }
    return kExitClean;
}

} // namespace bandview
