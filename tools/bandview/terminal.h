// Everything bandview does to a terminal: the keys read from the terminal and the live view of
// the bars.
//
// The live view draws only the cells that changed since the last frame, in one write per frame.
// It needs a terminal of at least kMinViewColumns x kMinViewRows (every band one column wide);
// below that it shows a one-line notice instead. Whenever the program leaves the terminal (at the
// end, on Ctrl-Z, Ctrl-\ or a stop signal) the normal screen, the cursor and echo come back.
#ifndef BANDVIEW_TERMINAL_H
#define BANDVIEW_TERMINAL_H

#include "dsp/spectrumanalyzer.h"
#include "shell/options.h"
#include "shell/progress.h"
#include "shell/signals.h"
#include "shell/text.h"
#include "shell/theme.h"
#include "termcolour.h"

#include <QString>

#include <cstdint>
#include <string>
#include <string_view>
#include <termios.h>
#include <vector>

namespace bandview {

constexpr int kMinViewColumns = dsp::kDefaultBands + 2;
constexpr int kMinViewRows = 5;

// The shell's signals, time format and progress bar, as the run loop uses them. The live view
// and the keyboard give the terminal back through the shell's terminal hooks.
using shell::clockText;
using shell::isTerminal;
using shell::ProgressBar;
using shell::stopSignal;
using shell::takeContinued;
using shell::takeResized;

// The keys that steer a live run, read from the controlling terminal (/dev/tty), so that they
// work while standard input carries audio. Inert without a terminal.
class Keyboard {
public:
    enum class Key { None, Quit, Pause };
    Keyboard();
    ~Keyboard();
    Keyboard(const Keyboard&) = delete;
    Keyboard& operator=(const Keyboard&) = delete;
    // q or Esc: Quit; space: Pause. Waits up to timeoutMs for a key (0: only looks).
    Key next(int timeoutMs = 0);
    // Takes the terminal's keys one by one again, without echo (after a suspension).
    void resume();

private:
    int fd_ = -1;
    bool raw_ = false;
    termios saved_ {};
};

// One character cell of the view: its text (one code point, one column wide) and look. A plain
// value, so that composing and comparing a screenful every frame costs next to nothing.
struct Cell {
    char text[4] = { ' ', 0, 0, 0 };
    std::uint8_t size = 1;
    bool bold = false;
    bool dim = false;
    std::int16_t colour = -1; // xterm 256-colour number, -1 for the default
    std::int32_t rgb = -1; // a 24-bit colour 0xrrggbb, drawn instead where set
    void setText(std::string_view utf8);
    void setColour(TermColour c)
    {
        colour = c.xterm;
        rgb = c.rgb;
    }
    std::string_view glyph() const { return std::string_view(text, size); }
    bool operator==(const Cell& o) const
    {
        return glyph() == o.glyph() && colour == o.colour && rgb == o.rgb && bold == o.bold
            && dim == o.dim;
    }
    bool operator!=(const Cell& o) const { return !(*this == o); }
};

// The view as a grid of cells, row by row, on one background; what the terminal shows after a
// draw.
struct ViewGrid {
    int columns = 0;
    int rows = 0;
    TermColour background;
    std::vector<Cell> cells;
    void reset(int columnCount, int rowCount);
    Cell& at(int row, int column) { return cells[std::size_t(row) * columns + column]; }
    const Cell& at(int row, int column) const { return cells[std::size_t(row) * columns + column]; }
};

// What the view shows besides the frame.
struct ViewText {
    std::string title;
    std::vector<std::string> labels; // one per band
    double timeSec = 0.0;
    double totalSec = -1.0; // below 0: unknown
    std::string note; // the demo's section, "paused"
    bool unicode = true;
    // bars, mirror (growing both ways from the middle row) or stereo (the left side's bands,
    // then the right side's); reverse: high bands first.
    shell::Layout layout = shell::Layout::Bars;
    bool reverse = false;
    // The bars', the peak markers' and the background's colours, at the terminal's depth.
    shell::Theme theme = shell::defaultTheme();
    ColourDepth depth = ColourDepth::Palette;
    float bpm = 0.0f; // the tempo at the title's end; 0: not known
    bool beat = false; // a beat was heard within kBeatFlashSec: the tempo lights up
};

// How long the tempo stays lit after a beat: a few frames, so that a drawing that skips frames
// still shows every beat.
constexpr double kBeatFlashSec = 0.1;
// The tempo's colour while lit (xterm 256 colours: orange).
constexpr std::int16_t kBeatColour = 208;

// How the bars sit in a terminal of the given size.
// The bars share every column between the margin and the last one, the columns left over from an
// even share going one each to bands spread across the width; the rows grow with the terminal.
struct ViewLayout {
    bool fits = false;
    int barRows = 0;
    int columnChars = 0; // per band, with the gap: the narrowest band's
    int barChars = 0; // the narrowest band's bar
    int labelRows = 0;
    bool hint = false;
    int bands = 1;
    int span = 0; // the columns the bands share
    // The first column of band k (k == bands: one past the last band).
    int bandStart(int k) const { return 1 + k * span / bands; }
    // The characters of band k's bar, without the gap.
    int bandChars(int k) const
    {
        const int width = bandStart(k + 1) - bandStart(k);
        return width > 1 ? width - 1 : 1;
    }
};
ViewLayout viewLayout(int columns, int rows, int bands);

// Fills grid (already sized to the terminal) with the view of frame; the last column stays empty,
// where a terminal would wrap. In the stereo layout frame is the left side's and right the right
// side's.
void composeView(ViewGrid& grid, const dsp::SpectrumFrame& frame, const ViewText& text,
    const dsp::SpectrumFrame* right = nullptr);

// The bytes that turn a terminal showing before into after: everything when full is set (or the
// sizes or backgrounds differ), else only the cells that changed. Every look sent carries the
// background, so that the spaces written in it show the background too.
std::string screenUpdate(const ViewGrid& before, const ViewGrid& after, bool full);

// Draws on the terminal's alternate screen, which keeps the user's scrollback as it was; the
// destructor brings back the normal screen and the cursor.
class LiveView {
public:
    LiveView(int fd, const QString& title, const std::vector<float>& bandCentersHz,
        const shell::Theme& theme = shell::defaultTheme(),
        shell::Layout layout = shell::Layout::Bars, bool reverse = false);
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Draws a frame in one write (both sides in the stereo layout); note names what plays (a demo
    // section) or "paused"; bpm and beat as ViewText has them.
    void draw(const dsp::SpectrumFrame& frame, const dsp::SpectrumFrame& right, double timeSec,
        double totalSec, const std::string& note, float bpm, bool beat);
    // Enters the alternate screen again and redraws everything next time (after a suspension,
    // or a change of size).
    void resume();
    void invalidate() { full_ = true; }
    // What the next draw looks like: a new theme, layout or order (a configuration file's change).
    void setTheme(const shell::Theme& theme);
    void setLayout(shell::Layout layout, bool reverse);
    shell::Layout layout() const { return text_.layout; }
    bool reverse() const { return text_.reverse; }

private:
    int fd_;
    ViewText text_;
    ViewGrid shown_;
    ViewGrid next_;
    bool full_ = true;
    std::string out_;
};

} // namespace bandview

#endif
