// bandview: runs the spectrum analysis core on sound files, standard input or the built-in demo
// programme and shows it live in the terminal, as a picture of the whole run, or as one data row
// per frame. The flow: parse the options, describe the inputs, check the outputs, run each input
// (in parallel when there are several), commit each run's outputs, exit with the worst status.

#include "media/audiodecoder.h"
#include "media/demo.h"
#include "run.h"
#include "shell/config.h"
#include "shell/options.h"
#include "shell/output.h"
#include "shell/signals.h"
#include "shell/status.h"
#include "shell/text.h"
#include "shell/theme.h"
#include "shell/version.h"
#include "shell/wled.h"
#include "terminal.h"

#ifdef BANDVIEW_CAPTURE
#include "shell/sources.h"
#endif

#include <QGuiApplication>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace bandview;

constexpr const char* kNamePlaceholder = "{name}";
constexpr const char* kDirPlaceholder = "{dir}";
constexpr int kStopPollMs = 50;

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
                    bars, peaks, onset (1 on a beat), bpm (0 while unknown); - is standard
                    output
                    With several inputs FILE must hold {name}, the input's file name without
                    folder and extension, or {dir}, the name of its folder:
                    --png 'out/{dir}-{name}.png'
  --raw FILE        write each frame's 28 bar heights as soon as it is made, for other programs:
                    by default one line per frame of integers 0..1000 separated by ';'; - is
                    standard output; {name} and {dir} as above
  --raw-format F    ascii (the default), u8 (one byte per band, 0..255) or u16 (two bytes per
                    band, little-endian, 0..65535), the binary records back to back
  --raw-max N       the top of the ascii range, 1..65535 (default 1000)
  --raw-beat        end each raw record with two more values: the onset (1 on a beat) and the
                    tempo in whole beats per minute (u8: at most 255), 0 while unknown
  --realtime        pace an off-line run to the music, as the live view is
  --size WxH        the picture's size in pixels (default 1356x746, at least 400x300)
  --duration SEC    end normally after SEC seconds of audio
  --fast            do not pace the live view to real time
  --no-live         run off-line even when standard output is a terminal
  --list-sections   list the sections of the demo programme and exit
  --theme NAME      colours of the live view's bars, peak markers and background, and of the
                    picture's heat map and peak traces: classic (the default), ember, ocean,
                    spectrum, mono, or one of your own
  --list-themes     list the themes and exit
  --capture[=SOURCE]
                    show what a sound server's source plays now, until q, Esc or --duration:
                    without SOURCE, what the computer plays (the default output, followed
                    wherever it goes); SOURCE is an output or input by its listed name, or
                    app:NAME for what one application plays (PipeWire); a SOURCE named is never
                    replaced: while it is absent the bars rest until it appears
  --capture-backend pipewire|pulse
                    capture through PipeWire's own protocol or PulseAudio's (default: PipeWire
                    where it runs)
  --delay MS        show a capture's bars in the live view and --raw MS milliseconds (0 to
                    2000) later than the sound arrives, on top of the latency the output reports
                    (a Bluetooth headset's 100 to 300 ms), so that they are in step with what is
                    heard; --csv keeps the sound's own time
  --layout L        bars (the default), mirror (growing both ways from the middle) or stereo
                    (the left and right channel analysed apart, side by side; in --png the left
                    above the right; --csv and --raw then hold both channels)
  --reverse         high bands first
  --wled[=HOST[:PORT]]
                    send the bands to LED strips as the LED boards' audio-sync packets over UDP,
                    at most one each 20 ms, with a file or the demo paced as --realtime paces it;
                    without HOST to the boards' multicast group 239.0.0.1, port 11988; HOST is
                    an IPv4 address or a name, PORT 1 to 65535 (default 11988)
  --wled-ttl N      the multicast packets' time-to-live, 1 to 255 (default 1: this network only)
  --config FILE     read the configuration from FILE instead of $XDG_CONFIG_HOME/bandview/config
                    (~/.config/bandview/config without it); a FILE that cannot be read is an
                    error, a default file that is not there is none
  --no-config       read no configuration file
  --print-config    print the settings in force as a configuration file, each set one with
                    where it comes from (command line, or FILE:LINE), those at their default
                    commented out, and exit; with --no-config it is the example file
  --list-sources    list the outputs, inputs and applications to capture (name, rate, channels,
                    marks, description) and exit: default (the default input), output (the
                    default output), monitor (an output's sound), capture (what --capture
                    without SOURCE takes), application
  -h, --help        show this help and exit
  --version         show the version and exit

The live view draws 24-bit colour where COLORTERM is truecolor or 24bit, the nearest of the 256
xterm colours elsewhere, and no colour where NO_COLOR is set or TERM is dumb or unset.

When standard output is a terminal the bars play live at 60 frames per second (q or Esc ends the
run, space pauses, Ctrl-C stops it without writing anything); otherwise the run is off-line and as
fast as the machine allows. Results, warnings and errors go to standard error. A capture is paced
by the display clock and analyses silence while no sound arrives; with --csv - it streams one row
per frame to standard output (the live view then draws on standard error when that is a terminal),
and what happens to the sound server is said on standard error. A pipe whose reader goes away
ends the run as q does; a FIFO named by its path waits for its next reader (a paced run goes on,
dropping what nobody reads).

The configuration file holds how the view looks and follows its sound (delay, capture-backend,
theme, layout, reverse), one 'key = value' a line, the keys being the options' names without the
dashes; '#' starts a comment; theme.NAME.KEY lines make a theme of your own (--print-config shows
how). The command line wins over it. While the live view or a capture runs, a change to the file
takes effect within a second where it can (delay during a capture; theme, reverse, and layout
between bars and mirror in the live view), and what cannot is said once. A bad line is said with
the file and the line, and skipped. Inputs, outputs and their formats come from the command line
alone; a layout of stereo from the file is left out of a run that writes --csv or --raw.

)";

// After the shell's exit statuses.
constexpr const char* kStatusNotes
    = R"(With several files, the worst of their statuses: 2 over 3 over 0.
A capture that ends by q or --duration is clean, whatever the server did.
)";

struct Options {
    std::vector<std::string> inputs;
    std::string png;
    std::string csv;
    std::string raw;
    RawFormat rawFormat = RawFormat::Ascii;
    int rawMax = kDefaultRawMax;
    bool rawBeat = false;
    bool realtime = false;
    bool fast = false;
    bool noLive = false;
    bool listSections = false;
    bool listSources = false;
    bool listThemes = false;
    shell::Theme theme = shell::defaultTheme();
    bool capture = false;
    std::string captureSource;
    std::string captureBackend;
    int delayMs = -1; // below 0: not given
    shell::Layout layout = shell::Layout::Bars;
    bool reverse = false;
    bool delayGiven = false; // on the command line
    bool help = false;
    bool version = false;
    bool printConfig = false;
    QSize pictureSize { kDefaultWidthPx, kDefaultHeightPx };
    double durationSec = -1.0;
    bool wled = false;
    led::Target wledTarget;
};

using Takes = shell::Option::Takes;
const std::vector<shell::Option> kOptionTable
    = { { "--png", Takes::Value }, { "--csv", Takes::Value }, { "--raw", Takes::Value },
          { "--raw-format", Takes::Value }, { "--raw-max", Takes::Value }, { "--raw-beat" },
          shell::kSizeOption, { "--duration", Takes::Value }, { "--fast" }, { "--no-live" },
          { "--realtime" }, shell::kListSectionsOption, shell::kListSourcesOption,
          shell::kCaptureOption, shell::kCaptureBackendOption, shell::kDelayOption,
          shell::kLayoutOption, { "--reverse" }, shell::kThemeOption, shell::kListThemesOption,
          shell::kConfigOption, shell::kNoConfigOption, shell::kPrintConfigOption,
          shell::kHelpOption, shell::kVersionOption, shell::kWledOption, shell::kWledTtlOption };
const std::vector<shell::Layout> kLayouts { shell::Layout::Bars, shell::Layout::Mirror,
    shell::Layout::Stereo };
// What the configuration file may hold: how the live view looks and follows its sound. The
// picture's size, the data and their formats come from the command line alone.
std::vector<shell::Setting> settingsOf(Options& o)
{
    return {
        { "delay", false, [&o](const std::string& v) { return shell::parseDelay(v, &o.delayMs); },
            "0",
            "--delay MS: how much later than its sound a capture's bars show, 0 to 2000 ms, on\n"
            "top of the latency the output reports; changes while a capture runs" },
        { "capture-backend", false,
            [&o](const std::string& v) { return shell::parseCaptureBackend(v, &o.captureBackend); },
            "pipewire",
            "--capture-backend pipewire|pulse: the sound server's protocol a capture speaks\n"
            "(default: PipeWire where it runs)" },
        { "theme", false, [&o](const std::string& v) { return shell::parseTheme(v, &o.theme); },
            shell::defaultTheme().name,
            "--theme NAME: the colours of the live view and the picture (--list-themes lists\n"
            "them, with yours from this file)" },
        { "layout", false,
            [&o](const std::string& v) { return shell::parseLayout(v, kLayouts, &o.layout); },
            "bars",
            "--layout bars|mirror|stereo: how the bars are laid out; bars and mirror change while\n"
            "the live view runs; stereo from this file is left out of a run that writes --csv or\n"
            "--raw, whose records it would change" },
        { "reverse", true,
            [&o](const std::string& v) {
                o.reverse = v == "true";
                return std::string();
            },
            "false", "--reverse: the high bands first, in the live view and the picture" },
    };
}

constexpr int kMaxPictureSidePx = 16384;
constexpr shell::SizeRange kPictureSizes { kMinWidthPx, kMinHeightPx, kMaxPictureSidePx,
    kMaxPictureSidePx };

// True when an output name leads to a terminal, which binary data would only garble.
bool writesToTerminal(const std::string& path)
{
    const int fd = shell::namedDescriptor(path);
    if (fd >= 0)
        return isTerminal(fd);
    struct stat st { };
    if (::stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return false;
    const int probe = ::open(path.c_str(), O_WRONLY | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (probe < 0)
        return false;
    const bool terminal = isTerminal(probe);
    ::close(probe);
    return terminal;
}

int fail(const std::string& message)
{
    shell::complain(message);
    return kExitBadInput;
}

// The raw output's format and range: empty when sound, else what is wrong.
std::string parseRawOptions(const shell::CommandLine& line, Options& o)
{
    o.raw = line.value("--raw");
    if (line.given("--raw-format") && !parseRawFormat(line.value("--raw-format"), &o.rawFormat))
        return "option '--raw-format' takes ascii, u8 or u16, got '" + line.value("--raw-format")
            + "'";
    if (line.given("--raw-max")) {
        const std::string text = line.value("--raw-max");
        char* end = nullptr;
        const long n = std::strtol(text.c_str(), &end, 10);
        if (text.empty() || *end != '\0' || n < 1 || n > kLargestRawMax)
            return "option '--raw-max' takes a whole number from 1 to "
                + std::to_string(kLargestRawMax) + ", got '" + text + "'";
        if (o.rawFormat != RawFormat::Ascii)
            return "option '--raw-max' sets the range of --raw-format ascii only";
        o.rawMax = static_cast<int>(n);
    }
    o.rawBeat = line.given("--raw-beat");
    if ((line.given("--raw-format") || line.given("--raw-max") || o.rawBeat) && o.raw.empty())
        return "options '--raw-format', '--raw-max' and '--raw-beat' need '--raw FILE'";
    return {};
}

// What the options ask of the inputs and outputs together: empty when it can be done.
std::string checkInputsAndOutputs(const Options& o)
{
    if (o.capture && !o.inputs.empty())
        return "option '--capture' takes no input file, got '" + o.inputs[0] + "'";
    if (o.wled && o.inputs.size() > 1)
        return "option '--wled' takes one input: the LEDs follow one sound at a time";
    if (o.wled && o.fast)
        return "option '--wled' paces the run to the music, which '--fast' would not";
    if (o.delayGiven && !o.capture)
        return "option '--delay' needs --capture: bandview plays no sound of its own to wait for";
    for (const auto& [pattern, option] : { std::pair { &o.png, "--png" },
             std::pair { &o.csv, "--csv" }, std::pair { &o.raw, "--raw" } }) {
        if (o.inputs.size() > 1 && !pattern->empty()
            && pattern->find(kNamePlaceholder) == std::string::npos
            && pattern->find(kDirPlaceholder) == std::string::npos)
            return "option '" + std::string(option)
                + "' needs {name} or {dir} in its file name with several inputs, got '" + *pattern
                + "'";
    }
    for (const std::string& input : o.inputs) {
        if (input == "-" && isTerminal(STDIN_FILENO))
            return "standard input is a terminal, not audio: pipe a file in or name one";
    }
    if (!o.png.empty() && writesToTerminal(o.png))
        return "option '--png' would write a picture into a terminal: name a file";
    if (!o.raw.empty() && o.rawFormat != RawFormat::Ascii && writesToTerminal(o.raw))
        return "option '--raw' would write binary records into a terminal: name a file";
    return {};
}

// Returns an empty string when the command line is sound, else what is wrong with it. The
// options the configuration file may also hold are read into o through config.
std::string parseOptions(
    int argc, char** argv, shell::CommandLine& line, shell::Config& config, Options& o)
{
    std::string problem = line.parse(argc, argv, kOptionTable);
    // The file first, so that the command line can name a theme the file holds, and wins.
    if (problem.empty() && !line.given("--help") && !line.given(shell::kVersionOption.name))
        problem = config.load(line, "bandview");
    if (problem.empty())
        problem = config.takeCommandLine(line);
    if (!problem.empty())
        return problem;
    o.inputs = line.operands();
    o.png = line.value("--png");
    o.csv = line.value("--csv");
    o.realtime = line.given("--realtime");
    problem = parseRawOptions(line, o);
    if (!problem.empty())
        return problem;
    o.fast = line.given("--fast");
    o.noLive = line.given("--no-live");
    o.listSections = line.given("--list-sections");
    o.listSources = line.given("--list-sources");
    o.listThemes = line.given(shell::kListThemesOption.name);
    o.capture = line.given("--capture");
    o.captureSource = line.value("--capture");
    problem = shell::readCaptureBackend(line, &o.captureBackend);
    if (!problem.empty())
        return problem;
    problem = shell::readWled(line, &o.wled, &o.wledTarget);
    if (!problem.empty())
        return problem;
    o.help = line.given("--help");
    o.version = line.given(shell::kVersionOption.name);
    o.printConfig = line.given(shell::kPrintConfigOption.name);
    o.delayGiven = line.given("--delay");
    if (line.given("--size")) {
        int w = 0;
        int h = 0;
        problem = shell::parseSize("--size", line.value("--size"), kPictureSizes, &w, &h);
        if (!problem.empty())
            return problem;
        o.pictureSize = QSize(w, h);
    }
    // No file changes what a script reads: stereo from the file, which would give --csv and
    // --raw both sides, is left for a run that writes neither.
    if (o.layout == shell::Layout::Stereo && !line.given(shell::kLayoutOption.name)
        && (!o.csv.empty() || !o.raw.empty())) {
        shell::complain("layout stereo from the configuration file is not taken with --csv or "
                        "--raw (it would change what they hold): give --layout stereo");
        o.layout = shell::Layout::Bars;
    }
    if (line.given("--duration")) {
        problem = shell::parseSeconds(
            "--duration", line.value("--duration"), shell::SecondsFrom::AboveZero, &o.durationSec);
        if (!problem.empty())
            return problem;
    }
    return checkInputsAndOutputs(o);
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

std::string expand(const std::string& pattern, const InputDescription& input)
{
    std::string s = pattern;
    for (const auto& [placeholder, value] :
        { std::pair { std::string(kNamePlaceholder), &input.name },
            std::pair { std::string(kDirPlaceholder), &input.dir } }) {
        for (std::size_t at = s.find(placeholder); at != std::string::npos;
             at = s.find(placeholder, at + value->size()))
            s.replace(at, placeholder.size(), *value);
    }
    return s;
}

// One input and what it writes.
struct Job {
    InputDescription input;
    std::string csvPath;
    std::string pngPath;
    std::string rawPath;
    int status = kExitClean;
    // Ran to its end (a stop signal leaves the rest undone).
    bool done = false;
};

// Refuses, before anything runs, two outputs that are one file (through links, or by pattern)
// and an output that is an input. Returns the problem, empty when none.
std::string checkNames(const std::vector<Job>& jobs)
{
    std::vector<std::pair<shell::FileIdentity, std::string>> inputs;
    for (const Job& job : jobs) {
        shell::FileIdentity id;
        std::string why;
        if (!job.input.isDemo() && !job.input.realTime
            && shell::identify(job.input.path, false, &id, &why))
            inputs.emplace_back(id, job.input.path);
    }
    std::vector<std::pair<shell::FileIdentity, std::string>> seen;
    for (const Job& job : jobs) {
        for (const auto& [path, option] : { std::pair { &job.csvPath, "--csv" },
                 std::pair { &job.pngPath, "--png" }, std::pair { &job.rawPath, "--raw" } }) {
            if (path->empty())
                continue;
            shell::FileIdentity id;
            std::string why;
            // A folder that cannot be found fails when the output is opened.
            if (!shell::identify(*path, true, &id, &why))
                continue;
            for (const auto& [other, name] : inputs) {
                if (other == id)
                    return *path + ": is the input file " + name;
            }
            // In a batch a name comes from a pattern, and the inputs tell where it clashed.
            const std::string what = std::string(option) + " " + *path
                + (jobs.size() > 1 ? " for " + job.input.path : std::string());
            for (const auto& [other, name] : seen) {
                if (other == id)
                    return *path + ": named for both " + name + " and " + what;
            }
            seen.emplace_back(id, what);
        }
    }
    return {};
}

// Opens job's outputs: the status to end with when one cannot be opened, else kExitClean.
int openOutputs(const Job& job, RunOutputs& outputs)
{
    for (auto [path, file] : { std::pair { &job.csvPath, &outputs.csv },
             std::pair { &job.pngPath, &outputs.png }, std::pair { &job.rawPath, &outputs.raw } }) {
        if (path->empty())
            continue;
        std::string why;
        *file = OutputFile::open(*path, &why);
        // Opening a FIFO waits for its reader, and a stop signal ends the wait.
        if (!*file && stopSignal() != 0)
            return kExitSignalBase + stopSignal();
        if (!*file)
            return fail(*path + ": cannot write: " + why);
    }
    return kExitClean;
}

int runJob(Job& job, const RunSettings& settings)
{
    RunOutputs outputs;
    // A capture starts as its source opens: a FIFO's first reader is waited for before, so that
    // the wait loses no sound.
    const bool outputsFirst = job.input.realTime;
    if (outputsFirst) {
        const int status = openOutputs(job, outputs);
        if (status != kExitClean)
            return status;
    }
    std::string why;
    std::unique_ptr<media::Feed> source = openSource(job.input, &why);
    // Opening a pipe waits for its first bytes, and a stop signal ends the wait.
    if (!source && shell::stopped())
        return kExitSignalBase + stopSignal();
    if (!source)
        return fail(job.input.path + ": " + why);
    if (!outputsFirst) {
        const int status = openOutputs(job, outputs);
        if (status != kExitClean)
            return status;
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

// Answers what needs no run (help, version, the listings): true, with the status, when it did.
bool answeredWithoutRun(const Options& o, int* status)
{
    *status = 0;
    if (o.help) {
        std::fputs(kHelp, stdout);
        std::fputs(shell::kExitStatusHelp, stdout);
        std::fputs(kStatusNotes, stdout);
        return true;
    }
    if (o.version) {
        std::puts(shell::versionLine().c_str());
        return true;
    }
    if (o.listSections) {
        listSections();
        return true;
    }
    if (o.listThemes) {
        std::fputs(shell::themeListing().c_str(), stdout);
        return true;
    }
#ifdef BANDVIEW_CAPTURE
    if (o.listSources) {
        *status = shell::listSources(o.captureBackend);
        return true;
    }
#else
    if (o.listSources || o.capture) {
        *status = fail("this bandview was built without live capture (BANDCORE_CAPTURE=OFF)");
        return true;
    }
#endif
    return false;
}

// One job per input, each with its output names expanded.
std::vector<Job> makeJobs(const Options& o)
{
    std::vector<Job> jobs;
    if (o.capture)
        jobs.push_back(
            { InputDescription::capture(o.captureSource, o.captureBackend, std::max(o.delayMs, 0)),
                {}, {}, {} });
    else if (o.inputs.empty())
        jobs.push_back({ InputDescription::demo(), {}, {}, {} });
    for (const std::string& path : o.inputs)
        jobs.push_back({ InputDescription::file(path), {}, {}, {} });
    for (Job& job : jobs) {
        if (!o.csv.empty())
            job.csvPath = expand(o.csv, job.input);
        if (!o.raw.empty())
            job.rawPath = expand(o.raw, job.input);
        if (!o.png.empty())
            job.pngPath = expand(o.png, job.input);
    }
    return jobs;
}

// The picture needs fonts, and Qt has those only with a GUI application; the offscreen platform
// needs no display. Null when no picture is asked for.
std::unique_ptr<QGuiApplication> guiForPicture(const Options& o)
{
    if (o.png.empty())
        return nullptr;
    // The application keeps these for its whole life.
    static int guiArgc = 1;
    static char guiName[] = "bandview";
    static char* guiArgv[] = { guiName, nullptr };
    shell::installQtMessageFilter();
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    return std::make_unique<QGuiApplication>(guiArgc, guiArgv);
}

RunSettings settingsFor(const Options& o, std::size_t jobCount, shell::Config& config)
{
    RunSettings settings;
    settings.fast = o.fast;
    settings.realtime = o.realtime || o.wled;
    settings.layout = o.layout;
    settings.reverse = o.reverse;
    settings.wled = o.wled;
    settings.wledTarget = o.wledTarget;
    settings.rawFormat = o.rawFormat;
    settings.rawMax = o.rawMax;
    settings.rawBeat = o.rawBeat;
    settings.durationSec = o.durationSec;
    settings.pictureSize = o.pictureSize;
    settings.theme = o.theme;
    // Only one input plays live, and only where standard output carries nothing else; a capture
    // whose data goes to standard output draws on standard error instead, when that is a
    // terminal.
    const bool dataOnStdout = shell::namedDescriptor(o.raw) == STDOUT_FILENO
        || shell::namedDescriptor(o.csv) == STDOUT_FILENO
        || shell::namedDescriptor(o.png) == STDOUT_FILENO;
    settings.viewFd = o.capture && dataOnStdout ? STDERR_FILENO : STDOUT_FILENO;
    settings.live
        = jobCount == 1 && !o.noLive && isTerminal(settings.viewFd) && (o.capture || !dataOnStdout);
    settings.progress = jobCount == 1 && !settings.live;
    // What runs as long as the sound does follows the file; an off-line run is over too soon.
    if (settings.live || o.capture)
        settings.config = &config;
    return settings;
}

// Runs the jobs on as many threads as there are cores, each taking the next job not yet taken.
void runInParallel(std::vector<Job>& jobs, const RunSettings& settings)
{
    std::atomic<std::size_t> nextJob { 0 };
    std::atomic<int> working { 0 };
    auto worker = [&] {
        for (std::size_t i = nextJob++; i < jobs.size() && stopSignal() == 0; i = nextJob++) {
            jobs[i].status = runJob(jobs[i], settings);
            jobs[i].done = jobs[i].status < kExitSignalBase;
        }
        --working;
    };
    const int threads = std::min(usableCores(), static_cast<int>(jobs.size()));
    working = threads;
    std::vector<std::thread> pool;
    for (int t = 0; t < threads; ++t)
        pool.emplace_back(worker);
    // A stop signal interrupts whichever thread it lands on; a worker waiting for a pipe that
    // has nothing to give must be interrupted itself, so the stop is passed on to each, again
    // until all have ended (one may not have been waiting yet).
    while (working > 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kStopPollMs));
        if (stopSignal() != 0) {
            for (std::thread& t : pool)
                ::pthread_kill(t.native_handle(), stopSignal());
        }
    }
    for (std::thread& t : pool)
        t.join();
}

// Says how a batch ended, and returns its status: the worst of its jobs', or the stop's.
int reportBatch(const std::vector<Job>& jobs, double wallSec)
{
    int status = kExitClean;
    int clean = 0;
    int damaged = 0;
    int failed = 0;
    for (const Job& job : jobs) {
        status = shell::worse(status, job.status);
        if (!job.done)
            continue;
        clean += job.status == kExitClean;
        damaged += job.status == kExitDamaged;
        failed += job.status == kExitBadInput;
    }
    if (stopSignal() != 0) {
        // The files that finished before the stop keep their outputs, committed as they
        // finished; only the others' are gone.
        const int kept = clean + damaged;
        if (kept == 0)
            shell::complain("stopped, nothing written");
        else
            shell::complain("stopped: the outputs of " + std::to_string(kept) + " of "
                + std::to_string(jobs.size()) + " files stay written, nothing for the others");
        return kExitSignalBase + stopSignal();
    }
    char summary[160];
    std::snprintf(summary, sizeof(summary), "%zu files: %d clean, %d damaged, %d failed in %.1f s",
        jobs.size(), clean, damaged, failed, wallSec);
    shell::say(summary);
    return status;
}

} // namespace

int main(int argc, char** argv)
{
    shell::setProgramName("bandview");
    shell::installSignalHandlers();
    // Ctrl-C must not wait for a pipe that has nothing to give.
    media::AudioDecoder::setStopCheck(shell::stopped);
    Options o;
    shell::CommandLine line;
    shell::Config config(settingsOf(o), kOptionTable);
    config.addGroup("theme", shell::setUserThemeKey, shell::kUserThemeHelp);
    std::string problem = parseOptions(argc, argv, line, config, o);
    if (!problem.empty())
        return fail(problem);
    int status = 0;
    if (answeredWithoutRun(o, &status))
        return status;
    if (o.printConfig) {
        std::fputs(config.printout("bandview").c_str(), stdout);
        return kExitClean;
    }

    std::vector<Job> jobs = makeJobs(o);
    const std::string clash = checkNames(jobs);
    if (!clash.empty())
        return fail(clash);
    const std::unique_ptr<QGuiApplication> gui = guiForPicture(o);
    const RunSettings settings = settingsFor(o, jobs.size(), config);

    if (jobs.size() == 1) {
        status = runJob(jobs[0], settings);
        if (status >= kExitSignalBase)
            shell::complain("stopped, nothing written");
        return status;
    }
    const auto started = std::chrono::steady_clock::now();
    runInParallel(jobs, settings);
    return reportBatch(
        jobs, std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count());
}
