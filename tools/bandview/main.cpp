// bandview: runs the spectrum analysis core on sound files, standard input or the built-in demo
// programme and shows it live in the terminal, as a picture of the whole run, or as one data row
// per frame. The flow: parse the options, describe the inputs, check the outputs, run each input
// (in parallel when there are several), commit each run's outputs, exit with the worst status.

#include "media/audiodecoder.h"
#include "media/demo.h"
#include "output.h"
#include "run.h"
#include "terminal.h"

#ifdef BANDVIEW_CAPTURE
#include "capture/capturesource.h"
#endif

#include <QGuiApplication>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sched.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace bandview;

constexpr const char* kNamePlaceholder = "{name}";

constexpr const char* kHelp = R"(Usage: bandview [options] [FILE...]

Runs the spectrum analysis core on each FILE, or without one on a built-in demo programme of
about 20 s, with one analysis per display frame of 1/60 s.

FILE is any audio file (MP3, AAC/M4A, FLAC, Ogg Vorbis, Opus, WAV, AIFF, WMA, the sound of a video,
...), a pipe or FIFO, or - for standard input, at 8 to 192 kHz, any number of channels (averaged
to mono). Several files are analysed off-line, in parallel on all cores.

Options:
  --png FILE        write one picture of the whole run: bands against time, then rmsDb, agcDb
                    and presence against time; - is standard output
  --csv FILE        write one row per frame as it is made: seq, timeSec, rmsDb, agcDb, presence,
                    bars, peaks; - is standard output
                    With several inputs FILE must hold {name}, the input's file name without
                    folder and extension: --png 'out/{name}.png'
  --size WxH        the picture's size in pixels (default 1356x746, at least 400x300)
  --duration SEC    end normally after SEC seconds of audio
  --fast            do not pace the live view to real time
  --no-live         run off-line even when standard output is a terminal
  --list-sections   list the sections of the demo programme and exit
  --capture[=SOURCE]
                    show what a sound server's source plays now, until q, Esc or --duration:
                    without SOURCE, what the computer plays (the monitor of the default output)
  --list-sources    list the sources to capture (name, rate, channels, default and monitor
                    marks, description) and exit
  -h, --help        show this help and exit

When standard output is a terminal the bars play live at 60 frames per second (q or Esc ends the
run, space pauses, Ctrl-C stops it without writing anything); otherwise the run is off-line and as
fast as the machine allows. Results, warnings and errors go to standard error. A capture is paced
by the display clock and analyses silence while no sound arrives; with --csv - it streams one row
per frame to standard output (the live view then draws on standard error when that is a terminal),
and what happens to the sound server is said on standard error.

Exit status: 0 clean (a capture that ends by q or --duration, whatever the server did); 2 bad input or an output that cannot be written (nothing written);
3 damaged input (outputs written, one warning line); 128 + the signal when stopped (nothing
written). With several files, the worst of them: 2 over 3 over 0.
)";

struct Options {
    std::vector<std::string> inputs;
    std::string png;
    std::string csv;
    std::string size;
    std::string duration;
    bool fast = false;
    bool noLive = false;
    bool listSections = false;
    bool listSources = false;
    bool capture = false;
    std::string captureSource;
    bool help = false;
    QSize pictureSize { kDefaultWidthPx, kDefaultHeightPx };
    double durationSec = -1.0;
};

void quietQtMessages(QtMsgType type, const QMessageLogContext&, const QString& message)
{
    // Qt's own chatter (no XDG_RUNTIME_DIR, and the like) would break the promise of one line on
    // standard error per result, warning or error.
    if (type == QtCriticalMsg || type == QtFatalMsg)
        say("bandview: " + message.toLocal8Bit().toStdString());
}

int fail(const std::string& message)
{
    say("bandview: " + message);
    return kExitBadInput;
}

// Returns an empty string when the command line is sound, else what is wrong with it.
std::string parseOptions(int argc, char** argv, Options& o)
{
    struct Valued {
        const char* name;
        std::string* value;
    };
    const Valued valued[] = { { "--png", &o.png }, { "--csv", &o.csv }, { "--size", &o.size },
        { "--duration", &o.duration } };
    struct Flag {
        const char* name;
        bool* value;
    };
    const Flag flags[] = { { "--fast", &o.fast }, { "--no-live", &o.noLive },
        { "--list-sections", &o.listSections }, { "--list-sources", &o.listSources },
        { "--help", &o.help }, { "-h", &o.help } };
    bool optionsEnd = false;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnd || arg.empty() || arg[0] != '-' || arg == "-") {
            if (arg.empty())
                return "an input file name is empty";
            o.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnd = true;
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string name = eq != std::string::npos ? arg.substr(0, eq) : arg;
        if (name == "--capture") {
            // The source comes only after '=': a following argument stays an argument.
            if (o.capture)
                return "option '--capture' is given twice";
            o.capture = true;
            if (eq != std::string::npos) {
                o.captureSource = arg.substr(eq + 1);
                if (o.captureSource.empty())
                    return "option '--capture=' needs a source name (bandview --list-sources)";
            }
            continue;
        }
        bool known = false;
        for (const Valued& v : valued) {
            if (name != v.name)
                continue;
            known = true;
            if (!v.value->empty())
                return "option '" + name + "' is given twice";
            std::string value;
            if (eq != std::string::npos)
                value = arg.substr(eq + 1);
            else if (i + 1 < argc)
                value = argv[++i];
            else
                return "option '" + name + "' needs a value";
            if (value.empty())
                return "option '" + name + "' has an empty value";
            // A forgotten value would otherwise swallow the next option as a file name.
            if (value[0] == '-' && value != "-" && eq == std::string::npos)
                return "option '" + name + "' needs a value, got the option '" + value + "'";
            *v.value = value;
        }
        for (const Flag& f : flags) {
            if (arg != f.name)
                continue;
            known = true;
            if (*f.value && std::string(f.name) != "-h" && std::string(f.name) != "--help")
                return "option '" + arg + "' is given twice";
            *f.value = true;
        }
        if (!known)
            return "unknown option '" + arg + "' (bandview --help lists the options)";
    }
    if (!o.size.empty()) {
        int w = 0;
        int h = 0;
        char tail = 0;
        if (std::sscanf(o.size.c_str(), "%dx%d%c", &w, &h, &tail) != 2
            || !PictureLayout::fits(QSize(w, h)) || w > 16384 || h > 16384)
            return "option '--size' needs WIDTHxHEIGHT from " + std::to_string(kMinWidthPx) + "x"
                + std::to_string(kMinHeightPx) + " to 16384x16384, got '" + o.size + "'";
        o.pictureSize = QSize(w, h);
    }
    if (!o.duration.empty()) {
        char* end = nullptr;
        o.durationSec = std::strtod(o.duration.c_str(), &end);
        if (*end != '\0' || !std::isfinite(o.durationSec) || o.durationSec <= 0.0)
            return "option '--duration' needs a number of seconds above 0, got '" + o.duration
                + "'";
    }
    if (o.capture && !o.inputs.empty())
        return "option '--capture' takes no input file, got '" + o.inputs[0] + "'";
    for (const std::string* pattern : { &o.png, &o.csv }) {
        if (o.inputs.size() > 1 && !pattern->empty()
            && pattern->find(kNamePlaceholder) == std::string::npos)
            return "option '" + std::string(pattern == &o.png ? "--png" : "--csv")
                + "' needs {name} in its file name with several inputs, got '" + *pattern + "'";
    }
    return {};
}

void listSections()
{
    std::printf("%6s %6s  %-11s %-9s %s\n", "start", "end", "section", "level", "what to watch");
    for (const media::DemoSection& s : media::kDemoSections) {
        char level[16] = "silence";
        if (std::isfinite(s.levelDbfs))
            std::snprintf(level, sizeof(level), "%.0f dBFS", static_cast<double>(s.levelDbfs));
        std::printf("%6.2f %6.2f  %-11s %-9s %s\n", s.startSec, s.endSec, s.name, level, s.watch);
    }
}

#ifdef BANDVIEW_CAPTURE
int listSources()
{
    std::vector<capture::SourceInfo> sources;
    std::string why;
    if (!capture::createCaptureSource("bandview")->listSources(&sources, &why))
        return fail(why);
    std::printf("%-44s %7s %3s  %-15s %s\n", "source", "rate", "ch", "marks", "description");
    for (const capture::SourceInfo& s : sources) {
        std::string marks = s.isDefault ? "default" : "";
        if (s.isMonitor)
            marks += marks.empty() ? "monitor" : " monitor";
        std::printf("%-44s %7d %3d  %-15s %s\n", s.name.c_str(), s.rateHz, s.channels,
            marks.c_str(), s.description.c_str());
    }
    return 0;
}
#endif

std::string expand(const std::string& pattern, const std::string& name)
{
    std::string s = pattern;
    const std::size_t at = s.find(kNamePlaceholder);
    if (at != std::string::npos)
        s.replace(at, std::string(kNamePlaceholder).size(), name);
    return s;
}

// One input and what it writes.
struct Job {
    InputDescription input;
    std::string csvPath;
    std::string pngPath;
    int status = kExitClean;
};

// Refuses, before anything runs, two outputs that are one file (through links, or by pattern)
// and an output that is an input. Returns the problem, empty when none.
std::string checkNames(const std::vector<Job>& jobs)
{
    std::vector<std::pair<FileIdentity, std::string>> inputs;
    for (const Job& job : jobs) {
        FileIdentity id;
        std::string why;
        if (!job.input.isDemo() && !job.input.realTime
            && identify(job.input.path, false, &id, &why))
            inputs.emplace_back(id, job.input.path);
    }
    std::vector<std::pair<FileIdentity, std::string>> seen;
    for (const Job& job : jobs) {
        for (const auto& [path, option] :
            { std::pair { &job.csvPath, "--csv" }, std::pair { &job.pngPath, "--png" } }) {
            if (path->empty())
                continue;
            FileIdentity id;
            std::string why;
            // A folder that cannot be found fails when the output is opened.
            if (!identify(*path, true, &id, &why))
                continue;
            for (const auto& [other, name] : inputs) {
                if (other == id)
                    return *path + ": is the input file " + name;
            }
            for (const auto& [other, name] : seen) {
                if (other == id)
                    return *path + ": named for both " + name + " and " + option + " " + *path;
            }
            seen.emplace_back(id, std::string(option) + " " + *path);
        }
    }
    return {};
}

bool stopped()
{
    return stopSignal() != 0;
}

int runJob(Job& job, const RunSettings& settings)
{
    std::string why;
    std::unique_ptr<media::Feed> source = openSource(job.input, &why);
    // Opening a pipe waits for its first bytes, and a stop signal ends the wait.
    if (!source && stopped())
        return kExitSignalBase + stopSignal();
    if (!source)
        return fail(job.input.path + ": " + why);
    RunOutputs outputs;
    for (auto [path, file] :
        { std::pair { &job.csvPath, &outputs.csv }, std::pair { &job.pngPath, &outputs.png } }) {
        if (path->empty())
            continue;
        *file = OutputFile::open(*path, &why);
        // Opening a FIFO waits for its reader, and a stop signal ends the wait.
        if (!*file && stopSignal() != 0)
            return kExitSignalBase + stopSignal();
        if (!*file)
            return fail(*path + ": cannot write: " + why);
    }
    return runInput(job.input, *source, outputs, settings);
}

int usableCores()
{
    cpu_set_t set;
    CPU_ZERO(&set);
    if (::sched_getaffinity(0, sizeof(set), &set) == 0)
        return std::max(CPU_COUNT(&set), 1);
    return static_cast<int>(std::max(std::thread::hardware_concurrency(), 1u));
}

// The worst of two statuses: a stop over 2, over 3, over 0.
int worse(int a, int b)
{
    auto rank = [](int s) {
        return s >= kExitSignalBase ? 3 : s == kExitBadInput ? 2 : s == kExitDamaged ? 1 : 0;
    };
    return rank(b) > rank(a) ? b : a;
}

} // namespace

int main(int argc, char** argv)
{
    installSignalHandlers();
    // Ctrl-C must not wait for a pipe that has nothing to give.
    media::AudioDecoder::setStopCheck(stopped);
    Options o;
    const std::string problem = parseOptions(argc, argv, o);
    if (!problem.empty())
        return fail(problem);
    if (o.help) {
        std::fputs(kHelp, stdout);
        return 0;
    }
    if (o.listSections) {
        listSections();
        return 0;
    }
#ifdef BANDVIEW_CAPTURE
    if (o.listSources)
        return listSources();
#else
    if (o.listSources || o.capture)
        return fail("this bandview was built without live capture (BANDCORE_CAPTURE=OFF)");
#endif

    std::vector<Job> jobs;
    if (o.capture)
        jobs.push_back({ InputDescription::capture(o.captureSource), {}, {} });
    else if (o.inputs.empty())
        jobs.push_back({ InputDescription::demo(), {}, {} });
    for (const std::string& path : o.inputs)
        jobs.push_back({ InputDescription::file(path), {}, {} });
    for (Job& job : jobs) {
        if (!o.csv.empty())
            job.csvPath = expand(o.csv, job.input.name);
        if (!o.png.empty())
            job.pngPath = expand(o.png, job.input.name);
    }
    const std::string clash = checkNames(jobs);
    if (!clash.empty())
        return fail(clash);

    // The picture needs fonts, and Qt has those only with a GUI application; the offscreen
    // platform needs no display.
    int guiArgc = 1;
    char guiName[] = "bandview";
    char* guiArgv[] = { guiName, nullptr };
    std::unique_ptr<QGuiApplication> gui;
    if (!o.png.empty()) {
        qInstallMessageHandler(quietQtMessages);
        if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        gui = std::make_unique<QGuiApplication>(guiArgc, guiArgv);
    }

    RunSettings settings;
    settings.fast = o.fast;
    settings.durationSec = o.durationSec;
    settings.pictureSize = o.pictureSize;
    // Only one input plays live, and only where standard output carries nothing else; a capture
    // whose data goes to standard output draws on standard error instead, when that is a
    // terminal.
    const bool dataOnStdout = o.csv == "-" || o.png == "-";
    settings.viewFd = o.capture && dataOnStdout ? STDERR_FILENO : STDOUT_FILENO;
    settings.live = jobs.size() == 1 && !o.noLive && isTerminal(settings.viewFd)
        && (o.capture || !dataOnStdout);
    settings.progress = jobs.size() == 1 && !settings.live;

    if (jobs.size() == 1) {
        const int status = runJob(jobs[0], settings);
        if (status >= kExitSignalBase)
            say("bandview: stopped, nothing written");
        return status;
    }

    std::atomic<std::size_t> nextJob { 0 };
    auto worker = [&] {
        for (std::size_t i = nextJob++; i < jobs.size() && stopSignal() == 0; i = nextJob++)
            jobs[i].status = runJob(jobs[i], settings);
    };
    const int threads = std::min(usableCores(), static_cast<int>(jobs.size()));
    std::vector<std::thread> pool;
    for (int t = 1; t < threads; ++t)
        pool.emplace_back(worker);
    worker();
    for (std::thread& t : pool)
        t.join();
    int status = kExitClean;
    for (const Job& job : jobs)
        status = worse(status, job.status);
    if (stopSignal() != 0) {
        say("bandview: stopped, nothing written");
        status = kExitSignalBase + stopSignal();
    }
    return status;
}
