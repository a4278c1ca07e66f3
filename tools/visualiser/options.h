// The visualiser's command line, under the shell's rules (shell/options.h): the options it shares
// with bandview (--size, --capture, --delay, --list-sources, --list-sections, --help) mean the same
// in both.
#ifndef VISUALISER_OPTIONS_H
#define VISUALISER_OPTIONS_H

#include "led/sender.h"
#include "shell/config.h"
#include "shell/theme.h"
#include "visual/headless.h"
#include "visual/palette.h"

#include <QSize>

#include <string>
#include <vector>

namespace visualiser {

constexpr int kDefaultWidth = 1280;
constexpr int kDefaultHeight = 720;

struct Options {
    std::string input; // the first (--render's only) input as given, bytes; empty: the demo
    std::vector<std::string> inputs; // every file or folder, played in order in the window
    std::string render; // empty: the window
    QSize size { kDefaultWidth, kDefaultHeight };
    int fps = 60;
    visual::Backend backend = visual::Backend::Auto;
    int msaa = visual::kDefaultSampleCount; // samples per pixel of the strands
    bool msaaNamed = false; // the window then keeps it, however slowly it draws
    double fromSec = 0.0;
    double toSec = -1.0; // -1: to the end
    bool fullScreen = false; // the window starts in full screen
    bool capture = false;
    std::string captureSource; // empty: the default output's monitor
    std::string captureBackend; // --capture-backend's name; empty: the automatic choice
    int delayMs = -1; // the picture's lag behind the sound (--delay); below 0: not given
    // stereo: each half of the strands follows one side, each analysed by its own analyser.
    shell::Layout layout = shell::Layout::Bars;
    bool wled = false; // LED packets (--wled) to wledTarget
    led::Target wledTarget;
    bool beatPulse = false; // each beat lifts the strands (--beat-pulse)
    bool showTempo = false; // the tempo over the window (--show-tempo)
    bool listSources = false;
    bool listSections = false;
    bool listThemes = false;
    visual::Palette palette; // the theme's colours (--theme)
    bool help = false;
    bool version = false;
    bool printConfig = false;
};
// The sides --size accepts, in pixels. 4096 is the largest side every output holds: every Vulkan
// device draws textures that wide, and H.264's highest levels (6 to 6.2) hold 139264 macroblocks a
// frame, which 4096x4096 (65536) keeps within and 8192x8192 (262144) does not; VP9 and PNG hold
// more. A 4096x4096 video needs about 1.1 GB of memory on either back end.
constexpr int kMinSidePx = 16;
constexpr int kMaxSidePx = 4096;

// What a theme sets in the visual: its strands, mode and glow, and its background, opaque
// where it has one.
visual::Palette paletteOf(const shell::Theme& theme);

// Returns an empty string when the command line is sound, else what is wrong with it. The
// options the configuration file may also hold are read into o through config.
std::string parseOptions(
    int argc, char** argv, shell::CommandLine& line, shell::Config& config, Options& o);

// The visualiser's options, and those the configuration file may hold, read into o: how the
// window looks and follows the sound. Inputs, --render and its frame rate and range come from the
// command line alone, and so does a video's size.
extern const std::vector<shell::Option> kOptionTable;
std::vector<shell::Setting> settingsOf(Options& o);

// After the configuration file is read: what it holds that a --render video does not take.
void keepRenderToCommandLine(const shell::CommandLine& line, Options& o);

extern const char* const kHelp;

} // namespace visualiser

#endif
