// bandview: runs the spectrum analysis core on a sound file or on the built-in demo programme and
// shows it live in the terminal, as a picture of the whole run, or as one data row per frame.

#include "analysis.h"
#include "csv.h"
#include "media/demo.h"
#include "picture.h"
#include "source.h"
#include "terminal.h"

#include <QFileInfo>
#include <QGuiApplication>
#include <QImageWriter>
#include <QSaveFile>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

using namespace bandview;
using namespace media;
using Clock = std::chrono::steady_clock;

constexpr int kExitBadInput = 2;
// What a shell reports for a program ended by Ctrl-C.
constexpr int kExitStopped = 130;
constexpr auto kFramePeriod = std::chrono::duration<double>(1.0 / dsp::kFrameRateHz);

constexpr const char* kHelp = R"(Usage: bandview [options] [FILE]

Runs the spectrum analysis core on FILE, or without one on a built-in demo programme of about 20 s,
with one analysis per display frame of 1/60 s.

FILE is any audio file (MP3, AAC/M4A, ALAC, FLAC, Ogg Vorbis, Opus, WAV, AIFF, WMA, ...) or the
audio track of a video, at 8 to 192 kHz, with any number of channels (averaged to mono); '-' is
standard input, and pipes and FIFOs are read as they come.

Options:
  --png FILE        write one picture of the whole run: bands against time, then rmsDb, agcDb
                    and presence against time
  --csv FILE        write one row per frame: seq, timeSec, rmsDb, agcDb, presence, bars, peaks
  --fast            do not pace the live view to real time
  --no-live         run off-line even when standard output is a terminal
  --list-sections   list the sections of the demo programme and exit
  -h, --help        show this help and exit

When standard output is a terminal the bars play live at 60 frames per second; otherwise the run
is off-line and as fast as the machine allows. Exit status: 0 on success, 2 for bad input or an
output file that cannot be written (nothing is written then), 130 when stopped.
)";

struct Options {
    QString input;
    // The input's name as given: file names need not be UTF-8.
    std::string inputBytes;
    QString png;
    QString csv;
    bool fast = false;
    bool noLive = false;
    bool listSections = false;
    bool help = false;
};

int fail(const QString& message)
{
    std::fprintf(stderr, "bandview: %s\n", message.toLocal8Bit().constData());
    return kExitBadInput;
}

int fail(const QString& subject, const QString& reason)
{
    return fail(subject + QStringLiteral(": ") + reason);
}

// Returns an empty string when the command line is sound, else what is wrong with it.
QString parseOptions(int argc, char** argv, Options& o)
{
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (optionsEnd || !arg.startsWith(QLatin1Char('-')) || arg == QLatin1String("-")) {
            if (!o.input.isEmpty())
                return QStringLiteral("one input file at most, got '%1' and '%2'")
                    .arg(o.input, arg);
            o.input = arg;
            o.inputBytes = argv[i];
            continue;
        }
        const int eq = arg.indexOf(QLatin1Char('='));
        const QString name = eq > 0 ? arg.left(eq) : arg;
        if (name == QLatin1String("--png") || name == QLatin1String("--csv")) {
            QString value;
            if (eq > 0)
                value = arg.mid(eq + 1);
            else if (i + 1 < argc)
                value = QString::fromLocal8Bit(argv[++i]);
            if (value.isEmpty())
                return QStringLiteral("option '%1' needs a file name").arg(name);
            (name == QLatin1String("--png") ? o.png : o.csv) = value;
            continue;
        }
        bool* flag = nullptr;
        if (arg == QLatin1String("--"))
            optionsEnd = true;
        else if (arg == QLatin1String("--fast"))
            flag = &o.fast;
        else if (arg == QLatin1String("--no-live"))
            flag = &o.noLive;
        else if (arg == QLatin1String("--list-sections"))
            flag = &o.listSections;
        else if (arg == QLatin1String("-h") || arg == QLatin1String("--help"))
            flag = &o.help;
        else
            return QStringLiteral("unknown option '%1' (bandview --help lists the options)")
                .arg(arg);
        if (flag)
            *flag = true;
    }
    return {};
}

void listSections()
{
    std::printf("%6s %6s  %-11s %-9s %s\n", "start", "end", "section", "level", "what to watch");
    for (const DemoSection& s : kDemoSections) {
        char level[16] = "silence";
        if (std::isfinite(s.levelDbfs))
            std::snprintf(level, sizeof(level), "%.0f dBFS", static_cast<double>(s.levelDbfs));
        std::printf("%6.2f %6.2f  %-11s %-9s %s\n", s.startSec, s.endSec, s.name, level, s.watch);
    }
}

// An output file is opened before the run, so that a path that cannot be written fails at once;
// it is written in full beside its final name and takes that name only on commit.
QString openOutput(const QString& path, const QString& input, std::unique_ptr<QSaveFile>& file)
{
    const QFileInfo info(path);
    if (info.isDir())
        return QStringLiteral("is a directory");
    if (!input.isEmpty() && info.exists()
        && info.canonicalFilePath() == QFileInfo(input).canonicalFilePath())
        return QStringLiteral("is the input file");
    file = std::make_unique<QSaveFile>(path);
    if (!file->open(QIODevice::WriteOnly))
        return QStringLiteral("cannot write: %1").arg(file->errorString());
    return {};
}

void quietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    if (type == QtCriticalMsg || type == QtFatalMsg)
        std::fprintf(stderr, "bandview: %s\n", message.toLocal8Bit().constData());
}

const char* sectionNote(bool demo, double timeSec)
{
    const int i = demo ? demoSectionAt(timeSec) : -1;
    return i >= 0 ? kDemoSections[i].name : "";
}

// Analyses hop after hop until the input ends, fails or the user stops the run; onHop sees each
// hop's outcome.
template <typename OnHop> Analysis::Step runAll(Analysis& analysis, OnHop onHop)
{
    Analysis::Step step = Analysis::Step::Warming;
    while (!stopRequested()) {
        step = analysis.advance();
        if (step == Analysis::Step::End || step == Analysis::Step::Error)
            break;
        onHop(step);
    }
    return step;
}

Analysis::Step runLive(Analysis& analysis, LiveView& view, bool fast, bool demo, double totalSec)
{
    const Clock::time_point start = Clock::now();
    Clock::time_point lastDraw = start - std::chrono::hours(1);
    auto draw = [&](const TimedFrame& f) {
        view.draw(f.frame, f.timeSec, totalSec, sectionNote(demo, f.timeSec));
        lastDraw = Clock::now();
    };
    const Analysis::Step step = runAll(analysis, [&](Analysis::Step hop) {
        if (hop != Analysis::Step::Frame)
            return;
        const TimedFrame& f = analysis.frames().back();
        const Clock::time_point now = Clock::now();
        if (fast) {
            // Drawing more often than the screen refreshes would only slow the run down.
            if (now - lastDraw >= kFramePeriod)
                draw(f);
            return;
        }
        const auto due = start
            + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(f.timeSec));
        if (now < due)
            std::this_thread::sleep_until(due);
        // Behind real time, the drawing is skipped, never the analysis.
        if (now - due <= kFramePeriod)
            draw(f);
    });
    if (!analysis.frames().empty())
        draw(analysis.frames().back());
    return step;
}

Analysis::Step runOffline(Analysis& analysis, double totalSec)
{
    ProgressBar progress(STDERR_FILENO);
    return runAll(
        analysis, [&](Analysis::Step) { progress.update(analysis.secondsRead(), totalSec); });
}

} // namespace

int main(int argc, char** argv)
{
    installStopHandlers();
    // Ctrl-C must not wait for a pipe that has nothing to give.
    AudioDecoder::setStopCheck(stopRequested);
    Options o;
    const QString problem = parseOptions(argc, argv, o);
    if (!problem.isEmpty())
        return fail(problem);
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (o.listSections) {
        listSections();
        return 0;
    }

    const bool demo = o.input.isEmpty();
    std::unique_ptr<MonoSource> source;
    QString title = QStringLiteral("built-in demo");
    if (demo) {
        source = std::make_unique<MemorySource>(renderDemo(), kDemoRateHz);
    } else {
        QString reason;
        source = DecoderSource::open(o.inputBytes, &reason);
        if (!source && stopRequested()) {
            std::fputs("bandview: stopped, nothing written\n", stderr);
            return kExitStopped;
        }
        if (!source)
            return fail(o.input, reason);
        title = QFileInfo(o.input).fileName();
    }

    if (!o.png.isEmpty() && !o.csv.isEmpty()
        && QFileInfo(o.png).absoluteFilePath() == QFileInfo(o.csv).absoluteFilePath())
        return fail(o.png, QStringLiteral("named for both --png and --csv"));
    std::unique_ptr<QSaveFile> pngFile;
    std::unique_ptr<QSaveFile> csvFile;
    for (auto [path, file] : { std::pair { &o.png, &pngFile }, std::pair { &o.csv, &csvFile } }) {
        if (path->isEmpty())
            continue;
        const QString why = openOutput(*path, o.input, *file);
        if (!why.isEmpty())
            return fail(*path, why);
    }

    // The picture needs fonts, and Qt has those only with a GUI application; the offscreen
    // platform needs no display.
    int guiArgc = 1;
    char guiName[] = "bandview";
    char* guiArgv[] = { guiName, nullptr };
    std::unique_ptr<QGuiApplication> gui;
    if (pngFile) {
        // Qt's own chatter (no XDG_RUNTIME_DIR, and the like) would break the promise of one line
        // on standard error for an error and nothing otherwise.
        qInstallMessageHandler(quietQtMessages);
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        gui = std::make_unique<QGuiApplication>(guiArgc, guiArgv);
    }

    Analysis analysis(*source);
    const std::int64_t expected = source->expectedSamples();
    const double totalSec
        = expected > 0 ? static_cast<double>(expected) / source->sampleRate() : -1.0;
    const bool live = !o.noLive && isTerminal(STDOUT_FILENO);
    const Clock::time_point started = Clock::now();
    Analysis::Step last;
    if (live) {
        LiveView view(STDOUT_FILENO, title, analysis.bandCentersHz());
        last = runLive(analysis, view, o.fast, demo, totalSec);
    } else {
        last = runOffline(analysis, totalSec);
    }
    const double wallSec = std::chrono::duration<double>(Clock::now() - started).count();

    const QString subject = demo ? QStringLiteral("demo") : o.input;
    if (stopRequested()) {
        std::fputs("bandview: stopped, nothing written\n", stderr);
        return kExitStopped;
    }
    if (last == Analysis::Step::Error)
        return fail(subject, analysis.error());
    const std::vector<TimedFrame>& frames = analysis.frames();
    if (frames.empty()) {
        return fail(subject,
            QStringLiteral("too short: %1 s of audio, the analysis window needs %2 s")
                .arg(analysis.secondsRead(), 0, 'f', 3)
                .arg(static_cast<double>(analysis.analyzer().fftSize()) / analysis.sampleRate(), 0,
                    'f', 3));
    }

    if (csvFile && !writeCsv(*csvFile, analysis.analyzer().bandCount(), frames))
        return fail(o.csv, QStringLiteral("cannot write: %1").arg(csvFile->errorString()));
    if (pngFile) {
        PictureInput picture;
        picture.title = title;
        picture.sampleRate = analysis.sampleRate();
        picture.lengthSec = analysis.secondsRead();
        picture.bandCentersHz = analysis.bandCentersHz();
        picture.frames = &frames;
        if (demo) {
            for (const DemoSection& s : kDemoSections)
                picture.sections.push_back({ QString::fromLatin1(s.name), s.startSec, s.endSec });
        }
        QImageWriter writer(pngFile.get(), "png");
        if (!writer.write(renderPicture(picture)))
            return fail(o.png, QStringLiteral("cannot write: %1").arg(writer.errorString()));
    }
    for (auto [path, file] : { std::pair { &o.csv, &csvFile }, std::pair { &o.png, &pngFile } }) {
        if (*file && !(*file)->commit())
            return fail(*path, QStringLiteral("cannot write: %1").arg((*file)->errorString()));
    }

    std::printf("%s: %.2f s at %d Hz, %zu frames in %.2f s\n", title.toLocal8Bit().constData(),
        analysis.secondsRead(), analysis.sampleRate(), frames.size(), wallSec);
    if (pngFile)
        std::printf("picture: %s\n", QFileInfo(o.png).absoluteFilePath().toLocal8Bit().constData());
    if (csvFile)
        std::printf("data: %s\n", QFileInfo(o.csv).absoluteFilePath().toLocal8Bit().constData());
    return 0;
}
