#include "options.h"

#include "shell/options.h"
#include "shell/version.h"
#include "shell/wled.h"

#include <QString>

namespace visualiser {

const char* const kHelp = R"(Usage: visualiser [options] [FILE|FOLDER...]

Draws glowing helical strands that move with the music: the spectrum analysis core drives the
shader pack, one analysis per 1/60 s of audio. Plays FILE (any audio file FFmpeg reads), live
capture (--capture), or without either the built-in demo programme of about 20 s.

In a window (the default) the sound plays through the sound server and the picture follows what is
heard. Several files play in order, a FOLDER's audio files by name (tracker modules included, not
its subfolders), an .m3u or .m3u8 playlist's entries (relative ones from the playlist's folder);
the window closes after the last. Keys: F or F11 full screen (or a double click), Space pause,
Left/Right seek 5 s (not on a pipe), N next, P previous (on the first track: its start), + and -
volume (+ unmutes), M mute, S shuffle, L loop (the track, the list, off in turn), T the tempo,
Q or Escape quit. Media keys and other programs control it over MPRIS
(org.mpris.MediaPlayer2.visualiser) on the session bus.

Options:
  --render OUT        render off-line instead: OUT is an existing folder for numbered PNGs
                      (000000.png, ...; it must hold none yet) or a video file (.mp4, .mkv, .webm)
                      with the audio muxed in
  --size WxH          picture size, sides from 16 to 4096 (default 1280x720; a video needs even
                      sides)
  --fps 60|30         pictures per second of --render (default 60); the analysis always runs
                      every 1/60 s
  --backend auto|vulkan|gles
                      graphics back end (default auto: Vulkan on a GPU, OpenGL ES where Vulkan
                      would run on the CPU, as on Mesa's lavapipe, or does not start)
  --msaa 1|2|4|8      samples per pixel of the strands (default 4); a count the back end lacks
                      falls to the nearest it has, with one line saying so. Without --msaa the
                      window steps down a count at a time (to 2, then 1), with one line each,
                      where it draws under 90 % of the display's rate (at most 60/s) for 2 s
                      with sound
  --from SEC          first second to render, from 0 (the analysis still runs from the start)
  --to SEC            second to stop rendering at, after --from (default: the end)
  --fullscreen        start the window in full screen
  --beat-pulse        let each beat lift the strands and their glow for a moment, in the window
                      and in --render (off by default)
  --show-tempo        show the tempo at the window's upper right, lit on each beat (T shows
                      or hides it)
  --capture[=SOURCE]  show live capture from the sound server (default: what the computer plays,
                      the default output followed wherever it goes); SOURCE is an output or
                      input by its listed name, or app:NAME for what one application plays
                      (PipeWire); a SOURCE named is never replaced: while it is absent the
                      picture rests until it appears
  --capture-backend pipewire|pulse
                      capture through PipeWire's own protocol or PulseAudio's (default:
                      PipeWire where it runs)
  --delay MS          show the picture MS milliseconds (0 to 2000) later than the sound plays,
                      for an output that lags without saying so (a Bluetooth headset: 100 to
                      300 ms); with --capture on top of the latency the captured output reports,
                      and the title says the delay in use
  --layout bars|stereo
                      stereo: the left and right channel analysed apart, the left half of the
                      strands following the left, the right half the right (default bars: the
                      mix)
  --wled[=HOST[:PORT]]
                      send the bands to LED strips as the LED boards' audio-sync packets over
                      UDP, at most one each 20 ms, as the window plays; without HOST to the
                      boards' multicast group 239.0.0.1, port 11988; HOST is an IPv4 address or
                      a name, PORT 1 to 65535 (default 11988)
  --wled-ttl N        the multicast packets' time-to-live, 1 to 255 (default 1: this network
                      only)
  --config FILE       read the configuration from FILE instead of
                      $XDG_CONFIG_HOME/visualiser/config (~/.config/visualiser/config without
                      it); a FILE that cannot be read is an error, a default file that is not
                      there is none
  --no-config         read no configuration file
  --print-config      print the settings in force as a configuration file, each set one with
                      where it comes from (command line, or FILE:LINE), those at their default
                      commented out, and exit; with --no-config it is the example file
  --list-sources      list the outputs, inputs and applications to capture (name, rate,
                      channels, marks, description) and exit: default (the default input),
                      output (the default output), monitor (an output's sound), capture (what
                      --capture without SOURCE takes), application
  --list-sections     list the sections of the demo programme and exit
  --theme NAME        colours of the strands (a gradient, or a rainbow by depth), the
                      background and the glow's strength, in the window and in --render:
                      classic (the default), ember, ocean, spectrum, mono, or one of your own
  --list-themes       list the themes and exit
  -h, --help          show this help and exit
  --version           show the version and exit

--render needs no display: it picks a headless platform itself (Vulkan on Mesa's lavapipe, or
OpenGL ES on a surfaceless EGL display, which auto picks there). Output is the same bytes from run
to run, written beside its names and given them only when complete. Ctrl-C ends a run, off-line or
in the window, at once.

The configuration file holds how the window looks and follows the sound (theme, size,
fullscreen, backend, msaa, delay, capture-backend, layout, beat-pulse, show-tempo), one
'key = value' a line, the keys being the options' names without the dashes; '#' starts a comment;
theme.NAME.KEY lines make a theme of your own (--print-config shows how). The command line wins
over it. While the window runs, a change to the file takes effect within a second where it can
(theme, delay, show-tempo), and what cannot is said once. A bad line is said with the file and the
line, and skipped. Inputs, --render and its size, frame rate and range come from the command line
alone.

)";

using Takes = shell::Option::Takes;
const std::vector<shell::Option> kOptionTable = { { "--render", Takes::Value }, shell::kSizeOption,
    { "--fps", Takes::Value }, { "--backend", Takes::Value }, { "--msaa", Takes::Value },
    { "--from", Takes::Value }, { "--to", Takes::Value }, { "--fullscreen", Takes::Nothing },
    { "--beat-pulse", Takes::Nothing }, { "--show-tempo", Takes::Nothing }, shell::kCaptureOption,
    shell::kCaptureBackendOption, shell::kDelayOption, shell::kConfigOption, shell::kNoConfigOption,
    shell::kPrintConfigOption, shell::kListSourcesOption, shell::kListSectionsOption,
    shell::kThemeOption, shell::kListThemesOption, shell::kLayoutOption, shell::kHelpOption,
    shell::kVersionOption, shell::kWledOption, shell::kWledTtlOption };

namespace {

    constexpr shell::SizeRange kSizes { kMinSidePx, kMinSidePx, kMaxSidePx, kMaxSidePx };

    std::string readSize(const std::string& text, Options& o)
    {
        int w = 0;
        int h = 0;
        const std::string problem = shell::parseSize("--size", text, kSizes, &w, &h);
        if (problem.empty())
            o.size = QSize(w, h);
        return problem;
    }

    std::string readBackend(const std::string& text, Options& o)
    {
        if (!visual::parseBackend(QString::fromStdString(text), &o.backend))
            return "option '--backend' needs auto, vulkan or gles, got '" + text + "'";
        return {};
    }

    std::string readMsaa(const std::string& text, Options& o)
    {
        if (text != "1" && text != "2" && text != "4" && text != "8")
            return "option '--msaa' needs 1, 2, 4 or 8, got '" + text + "'";
        o.msaa = std::stoi(text);
        o.msaaNamed = true;
        return {};
    }

} // namespace

std::vector<shell::Setting> settingsOf(Options& o)
{
    using V = const std::string&;
    return {
        { "size", false, [&o](V v) { return readSize(v, o); }, "1280x720",
            "--size WxH: the window's size, sides from 16 to 4096 (a --render video takes\n"
            "--size from the command line only)" },
        { "theme", false,
            [&o](V v) {
                shell::Theme theme;
                const std::string problem = shell::parseTheme(v, &theme);
                if (problem.empty())
                    o.palette = paletteOf(theme);
                return problem;
            },
            shell::defaultTheme().name,
            "--theme NAME: the colours of the strands, the background and the glow\n"
            "(--list-themes lists them, with yours from this file)" },
        { "fullscreen", true,
            [&o](V v) {
                o.fullScreen = v == "true";
                return std::string();
            },
            "false", "--fullscreen: start the window in full screen" },
        { "backend", false, [&o](V v) { return readBackend(v, o); }, "auto",
            "--backend auto|vulkan|gles: the graphics back end" },
        { "msaa", false, [&o](V v) { return readMsaa(v, o); }, "4",
            "--msaa 1|2|4|8: samples per pixel of the strands (without it the window steps\n"
            "down where it draws too slowly)" },
        { "delay", false, [&o](V v) { return shell::parseDelay(v, &o.delayMs); }, "0",
            "--delay MS: how much later than its sound the picture shows, 0 to 2000 ms;\n"
            "changes while the window runs" },
        { "capture-backend", false,
            [&o](V v) { return shell::parseCaptureBackend(v, &o.captureBackend); }, "pipewire",
            "--capture-backend pipewire|pulse: the sound server's protocol a capture speaks\n"
            "(default: PipeWire where it runs)" },
        { "layout", false,
            [&o](V v) {
                return shell::parseLayout(
                    v, { shell::Layout::Bars, shell::Layout::Stereo }, &o.layout);
            },
            "bars",
            "--layout bars|stereo: stereo, each half of the strands following one channel" },
        { "beat-pulse", true,
            [&o](V v) {
                o.beatPulse = v == "true";
                return std::string();
            },
            "false", "--beat-pulse: each beat lifts the strands and their glow for a moment" },
        { "show-tempo", true,
            [&o](V v) {
                o.showTempo = v == "true";
                return std::string();
            },
            "false",
            "--show-tempo: the tempo at the window's upper right, lit on each beat;\n"
            "changes while the window runs" },
    };
}

void keepRenderToCommandLine(const shell::CommandLine& line, Options& o)
{
    if (!o.render.empty() && !line.given(shell::kSizeOption.name))
        o.size = QSize(kDefaultWidth, kDefaultHeight);
}

namespace {

    // The inputs and the switches that need no checking.
    std::string readInputs(const shell::CommandLine& line, Options& o)
    {
        o.render = line.value("--render");
        if (!o.render.empty() && line.operands().size() > 1)
            return "--render takes one input file, got '" + line.operands()[0] + "' and '"
                + line.operands()[1] + "'";
        o.inputs = line.operands();
        if (!o.inputs.empty())
            o.input = o.inputs[0];
        o.capture = line.given("--capture");
        o.captureSource = line.value("--capture");
        o.listSources = line.given("--list-sources");
        std::string problem = shell::readCaptureBackend(line, &o.captureBackend);
        if (problem.empty())
            problem = shell::readWled(line, &o.wled, &o.wledTarget);
        if (!problem.empty())
            return problem;
        o.listSections = line.given("--list-sections");
        o.listThemes = line.given(shell::kListThemesOption.name);
        o.help = line.given("--help");
        o.version = line.given(shell::kVersionOption.name);
        o.printConfig = line.given(shell::kPrintConfigOption.name);
        // The window plays the whole programme at the display's pace.
        if (o.render.empty()) {
            for (const char* name : { "--from", "--to", "--fps" }) {
                if (line.given(name))
                    return "option '" + std::string(name) + "' needs --render (the window plays "
                        + "from the start, at the display's pace)";
            }
        }
        return {};
    }

    // Pictures a second.
    std::string readFps(const shell::CommandLine& line, Options& o)
    {
        if (line.given("--fps")) {
            const std::string fps = line.value("--fps");
            if (fps != "60" && fps != "30")
                return "option '--fps' needs 60 or 30, got '" + fps + "'";
            o.fps = std::stoi(fps);
        }
        return {};
    }

    // --from and --to.
    std::string readRange(const shell::CommandLine& line, Options& o)
    {
        if (line.given("--from")) {
            const std::string problem = shell::parseSeconds(
                "--from", line.value("--from"), shell::SecondsFrom::Zero, &o.fromSec);
            if (!problem.empty())
                return problem;
        }
        if (!line.given("--to"))
            return {};
        const std::string problem = shell::parseSeconds(
            "--to", line.value("--to"), shell::SecondsFrom::AboveZero, &o.toSec);
        if (!problem.empty())
            return problem;
        if (o.toSec <= o.fromSec)
            return "option '--to' " + line.value("--to") + " is not after --from "
                + line.value("--from");
        return {};
    }

    // Options that each make sense, but not together: those on the command line.
    std::string conflicts(const shell::CommandLine& line, const Options& o)
    {
        if (o.capture && !o.input.empty())
            return "give a file or --capture, not both";
        if (line.given("--fullscreen") && !o.render.empty())
            return "option '--fullscreen' is for the window, not --render";
        // A video holds its sound beside its pictures: nothing plays late there.
        if (line.given("--delay") && !o.render.empty())
            return "option '--delay' is for the window, not --render";
        if (o.wled && !o.render.empty())
            return "option '--wled' is for the window, not --render";
        if (line.given("--show-tempo") && !o.render.empty())
            return "option '--show-tempo' is for the window, not --render";
        if (o.capture && !o.render.empty())
            return "--render needs a file or the demo, not live capture";
        return {};
    }

} // namespace

visual::Palette paletteOf(const shell::Theme& theme)
{
    visual::Palette p;
    p.start = theme.strandStart;
    p.end = theme.strandEnd;
    p.rainbow = theme.mode == shell::Theme::StrandMode::Rainbow;
    if (theme.hasBackground) {
        const shell::Rgb b = theme.background;
        p.background = { b.r / 255.0f, b.g / 255.0f, b.b / 255.0f, 1.0f };
    }
    p.glow = theme.glow;
    return p;
}

std::string parseOptions(
    int argc, char** argv, shell::CommandLine& line, shell::Config& config, Options& o)
{
    std::string problem = line.parse(argc, argv, kOptionTable);
    // The file first, so that the command line can name a theme the file holds, and wins.
    if (problem.empty() && !line.given("--help") && !line.given(shell::kVersionOption.name))
        problem = config.load(line, "visualiser");
    if (problem.empty())
        problem = config.takeCommandLine(line);
    if (problem.empty())
        problem = readInputs(line, o);
    if (problem.empty())
        problem = readFps(line, o);
    if (problem.empty())
        problem = readRange(line, o);
    return problem.empty() ? conflicts(line, o) : problem;
}

} // namespace visualiser
