// One run of bandview over one input: the analysis hop by hop, the data rows streamed as frames
// are made, the picture's aggregates, the live view or the progress bar, and at the end the
// outputs committed together or not at all.
//
// The run loop reads the source until it ends, the --duration is reached, a key ends it (q, Esc)
// or a signal stops it. A file or the demo is paced to real time by the clock in the live view; a
// real-time source (one that delivers audio as it plays, and may never end) paces itself, and its
// view and raw stream wait, a frame at a time, until what they show is heard; the data rows and
// the picture keep the sound's own time.
#ifndef BANDVIEW_RUN_H
#define BANDVIEW_RUN_H

#include "picture.h"
#include "raw.h"
#include "shell/config.h"
#include "shell/options.h"
#include "shell/output.h"
#include "shell/status.h"
#include "shell/text.h"
#include "shell/theme.h"
#include "shell/wled.h"

#include "media/feed.h"

#include <QSize>
#include <QString>

#include <memory>
#include <string>
#include <vector>

namespace bandview {

class MonoSource;

// The shell's exit statuses, outputs and lines on standard error, as a run uses them.
using shell::commitAll;
using shell::kExitBadInput;
using shell::kExitClean;
using shell::kExitDamaged;
using shell::kExitSignalBase;
using shell::OutputFile;
using shell::say;

// Everything the program knows about what it analyses, besides the samples.
struct InputDescription {
    // A path, "-" for standard input; empty for the demo.
    std::string path;
    // Names the input on the screen and in the picture.
    QString title;
    // What the run's outputs are called after: the file name without folder and extension.
    std::string name;
    // The name of the input's folder, so that same-named files in different folders can be told
    // apart: "stdin" for standard input, "demo" for the demo.
    std::string dir;
    std::vector<Section> sections;
    bool realTime = false;
    // For a live capture: the sound server's source ("" for what the computer plays).
    std::string captureSource;
    // Its back end by --capture-backend's name, "" for the automatic choice.
    std::string captureBackend;
    // For a live capture: how much later than its sound, on top of what the output reports, the
    // view and the raw stream show a frame (--delay), in milliseconds.
    int delayMs = 0;

    static InputDescription demo();
    static InputDescription file(const std::string& path);
    static InputDescription capture(
        const std::string& source, const std::string& backend, int delayMs = 0);
    bool isDemo() const { return path.empty(); }
    // The demo section playing at timeSec, empty elsewhere.
    std::string noteAt(double timeSec) const;
};

// Opens the samples of an input; null with *reason set when it cannot be read.
std::unique_ptr<media::Feed> openSource(const InputDescription& input, std::string* reason);

struct RunSettings {
    bool live = false;
    // Where the live view draws: standard output, or standard error when the data goes there.
    int viewFd = 1;
    bool fast = false;
    // An off-line run paced to the music, as the live view is (--realtime).
    bool realtime = false;
    bool progress = false;
    RawFormat rawFormat = RawFormat::Ascii;
    int rawMax = kDefaultRawMax;
    // Each raw record ends in the onset and the tempo.
    bool rawBeat = false;
    double durationSec = -1.0; // below 0: to the end of the input
    QSize pictureSize;
    // How the bars are laid out (stereo analyses each side on its own), and high bands first.
    shell::Layout layout = shell::Layout::Bars;
    bool reverse = false;
    // The live view's and the picture's colours.
    shell::Theme theme = shell::defaultTheme();
    // LED packets (--wled) to wledTarget, paced as --realtime paces a file.
    bool wled = false;
    led::Target wledTarget;
    // The configuration file, followed while the run lasts; null when it is not.
    shell::Config* config = nullptr;
};

struct RunOutputs {
    std::unique_ptr<OutputFile> csv;
    std::unique_ptr<OutputFile> png;
    std::unique_ptr<OutputFile> raw;
};

// Runs input through to committed outputs and returns the exit status. Every line it has to say
// (the result, a warning, an error) goes to standard error, one write each.
int runInput(const InputDescription& input, media::Feed& source, RunOutputs& outputs,
    const RunSettings& settings);

} // namespace bandview

#endif
