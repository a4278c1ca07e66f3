// Everything bandview does to a terminal: the signals that stop, suspend and resize a run, the
// keys read from the terminal, the live view of the bars, and the progress bar of an off-line
// run.
//
// The live view draws only the cells that changed since the last frame, in one write per frame.
// It needs a terminal of at least kMinViewColumns x kMinViewRows (every band one column wide);
// below that it shows a one-line notice instead. Whenever the program leaves the terminal (at the
// end, on Ctrl-Z, Ctrl-\ or a stop signal) the normal screen, the cursor and echo come back.
#ifndef BANDVIEW_TERMINAL_H
#define BANDVIEW_TERMINAL_H

#include "dsp/spectrumanalyzer.h"

#include <QString>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>
#include <termios.h>
#include <vector>

namespace bandview {

constexpr int kMinViewColumns = dsp::kDefaultBands + 2;
constexpr int kMinViewRows = 5;

// SIGINT, SIGTERM and SIGHUP only note the signal, so that the run can drop its unfinished
// outputs and restore the terminal before it exits with 128 + the signal; they interrupt a
// blocking write. SIGTSTP and SIGQUIT restore the terminal and then take their default action;
// SIGCONT and SIGWINCH are noted for the view. SIGPIPE and SIGXFSZ are ignored, so that a write
// past a pipe's end or a size limit fails with an error instead of killing the program.
void installSignalHandlers();
// The stop signal received, 0 while none.
int stopSignal();
// True once after each SIGCONT / SIGWINCH.
bool takeContinued();
bool takeResized();

bool isTerminal(int fd);

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
    void setText(std::string_view utf8);
    std::string_view glyph() const { return std::string_view(text, size); }
    bool operator==(const Cell& o) const
    {
        return glyph() == o.glyph() && colour == o.colour && bold == o.bold && dim == o.dim;
    }
    bool operator!=(const Cell& o) const { return !(*this == o); }
};

// The view as a grid of cells, row by row; what the terminal shows after a draw.
struct ViewGrid {
    int columns = 0;
    int rows = 0;
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
};

// How the bars sit in a terminal of the given size.
struct ViewLayout {
    bool fits = false;
    int barRows = 0;
    int columnChars = 0; // per band, with the gap
    int barChars = 0;
    int labelRows = 0;
    bool hint = false;
};
ViewLayout viewLayout(int columns, int rows, int bands);

// Fills grid (already sized to the terminal) with the view of frame; the last column stays empty,
// where a terminal would wrap.
void composeView(ViewGrid& grid, const dsp::SpectrumFrame& frame, const ViewText& text);

// The bytes that turn a terminal showing before into after: everything when full is set (or the
// sizes differ), else only the cells that changed.
std::string screenUpdate(const ViewGrid& before, const ViewGrid& after, bool full);

// Draws on the terminal's alternate screen, which keeps the user's scrollback as it was; the
// destructor brings back the normal screen and the cursor.
class LiveView {
public:
    LiveView(int fd, const QString& title, const std::vector<float>& bandCentersHz);
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Draws a frame in one write; note names what plays (a demo section) or "paused".
    void draw(
        const dsp::SpectrumFrame& frame, double timeSec, double totalSec, const std::string& note);
    // Enters the alternate screen again and redraws everything next time (after a suspension,
    // or a change of size).
    void resume();
    void invalidate() { full_ = true; }

private:
    int fd_;
    ViewText text_;
    ViewGrid shown_;
    ViewGrid next_;
    bool full_ = true;
    std::string out_;
};

// A one-line bar for off-line runs, shown only when fd is a terminal and once a run has taken
// delaySec, so short runs print nothing.
class ProgressBar {
public:
    explicit ProgressBar(int fd, double delaySec = 1.0);
    ~ProgressBar() { finish(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // totalSec below 0: length unknown.
    void update(double doneSec, double totalSec);
    // Clears the line if the bar was shown.
    void finish();

private:
    int fd_;
    bool enabled_;
    bool shown_ = false;
    double delaySec_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

// "m:ss.s", or "h:mm:ss.s" past an hour.
std::string clockText(double sec);

} // namespace bandview

#endif
