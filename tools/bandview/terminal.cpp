#include "terminal.h"

#include "analysis.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace bandview {

namespace {

    // What a signal handler needs to give the terminal back: the screen the view draws on and
    // the terminal whose settings the keyboard changed.
    std::atomic<int> viewFd { -1 };
    std::atomic<int> keyboardFd { -1 };
    termios keyboardSaved {};
    termios keyboardRaw {};

    constexpr char kEnterScreen[] = "\x1b[?1049h\x1b[?25l\x1b[2J";
    constexpr char kLeaveScreen[] = "\x1b[0m\x1b[?25h\x1b[?1049l";

    // From this many rows on the view has two label rows and the hint line.
    constexpr int kRoomyRows = 10;
    constexpr unsigned char kEscape = 0x1b;
    // A move forward takes four bytes or more: up to this many blank cells are written instead.
    constexpr int kRewriteCells = 3;

    constexpr const char* kEighths[]
        = { " ", "\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588" };
    constexpr const char* kPeakMark = "\u2500";
    // The lower half of a mirrored bar: its half rows.
    constexpr const char* kUpperHalf = "\u2580";

    void writeAll(int fd, const char* p, std::size_t left)
    {
        while (left > 0) {
            const ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR && stopSignal() == 0)
                continue;
            if (n <= 0)
                return;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
    }

    void writeAll(int fd, const std::string& text)
    {
        writeAll(fd, text.data(), text.size());
    }

    // Async-signal-safe: write() and tcsetattr() only.
    void restoreTerminalFromSignal()
    {
        const int screen = viewFd.load();
        if (screen >= 0)
            writeAll(screen, kLeaveScreen, sizeof(kLeaveScreen) - 1);
        const int keys = keyboardFd.load();
        if (keys >= 0)
            ::tcsetattr(keys, TCSANOW, &keyboardSaved);
    }

    // Async-signal-safe: after a suspension, the keys raw again and the view's screen back (the
    // run then redraws it whole).
    void enterTerminalFromSignal()
    {
        const int keys = keyboardFd.load();
        if (keys >= 0)
            ::tcsetattr(keys, TCSANOW, &keyboardRaw);
        const int screen = viewFd.load();
        if (screen >= 0)
            writeAll(screen, kEnterScreen, sizeof(kEnterScreen) - 1);
    }

    void takeTerminal()
    {
        shell::setTerminalHooks(restoreTerminalFromSignal, enterTerminalFromSignal);
    }

    bool utf8Locale()
    {
        for (const char* name : { "LC_ALL", "LC_CTYPE", "LANG" }) {
            const char* value = std::getenv(name);
            if (value && *value) {
                std::string v(value);
                std::transform(
                    v.begin(), v.end(), v.begin(), [](unsigned char c) { return std::tolower(c); });
                return v.find("utf-8") != std::string::npos || v.find("utf8") != std::string::npos;
            }
        }
        return false;
    }

    void terminalSize(int fd, int& cols, int& rows)
    {
        winsize ws {};
        cols = 80;
        rows = 24;
        if (::ioctl(fd, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0 && ws.ws_row > 0) {
            cols = ws.ws_col;
            rows = ws.ws_row;
        }
    }

    // Writes UTF-8 text into a row from column `from`, one code point per cell, up to `end`.
    void putText(ViewGrid& g, int row, int from, const std::string& text, int end, Cell look)
    {
        int column = from;
        std::size_t i = 0;
        while (i < text.size() && column < end) {
            std::size_t n = 1;
            while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80)
                ++n;
            look.setText(std::string_view(text).substr(i, n));
            g.at(row, column++) = look;
            i += n;
        }
    }

    std::string number(const char* format, float value)
    {
        if (!std::isfinite(value))
            return "--";
        char text[32];
        std::snprintf(text, sizeof(text), format, static_cast<double>(value));
        return text;
    }

    // ";38;5;N" or ";38;2;R;G;B" for the foreground (lead "38"), the background (lead "48").
    void appendColour(std::string& s, const char* lead, TermColour c)
    {
        if (c.isDefault())
            return;
        s += ';';
        s += lead;
        if (c.xterm >= 0) {
            s += ";5;";
            s += std::to_string(c.xterm);
            return;
        }
        for (int shift : { -1, 16, 8, 0 }) {
            s += ';';
            s += shift < 0 ? std::string("2") : std::to_string((c.rgb >> shift) & 0xff);
        }
    }

    void appendLook(std::string& s, const Cell& c, TermColour background)
    {
        s += "\x1b[0";
        if (c.bold)
            s += ";1";
        if (c.dim)
            s += ";2";
        appendColour(s, "38", TermColour { c.colour, c.rgb });
        appendColour(s, "48", background);
        s += 'm';
    }

    // Along the cursor's row a move forward is shorter than one to a place: "\x1b[4C".
    void appendForward(std::string& s, int columns)
    {
        s += "\x1b[";
        s += std::to_string(columns);
        s += 'C';
    }

    void appendMove(std::string& s, int row, int column)
    {
        s += "\x1b[";
        s += std::to_string(row + 1);
        s += ';';
        s += std::to_string(column + 1);
        s += 'H';
    }

    bool sameLook(const Cell& a, const Cell& b)
    {
        return a.colour == b.colour && a.rgb == b.rgb && a.bold == b.bold && a.dim == b.dim;
    }

} // namespace

Keyboard::Keyboard()
{
    takeTerminal();
    fd_ = ::open("/dev/tty", O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd_ >= 0 && ::tcgetattr(fd_, &saved_) == 0) {
        keyboardSaved = saved_;
        resume();
    }
}

Keyboard::~Keyboard()
{
    if (raw_) {
        keyboardFd.store(-1);
        ::tcsetattr(fd_, TCSANOW, &saved_);
    }
    if (fd_ >= 0)
        ::close(fd_);
}

void Keyboard::resume()
{
    if (fd_ < 0)
        return;
    termios keys = saved_;
    // Keys arrive one by one and are not echoed over the view; Ctrl-C and Ctrl-Z keep their
    // signals.
    keys.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON));
    keys.c_cc[VMIN] = 0;
    keys.c_cc[VTIME] = 0;
    raw_ = ::tcsetattr(fd_, TCSANOW, &keys) == 0;
    if (raw_) {
        keyboardRaw = keys;
        keyboardFd.store(fd_);
    }
}

Keyboard::Key Keyboard::next(int timeoutMs)
{
    if (fd_ < 0) {
        if (timeoutMs > 0)
            ::poll(nullptr, 0, timeoutMs);
        return Key::None;
    }
    pollfd p { fd_, POLLIN, 0 };
    if (::poll(&p, 1, timeoutMs) <= 0)
        return Key::None;
    unsigned char keys[32];
    const ssize_t n = ::read(fd_, keys, sizeof(keys));
    for (ssize_t i = 0; i < n; ++i) {
        if (keys[i] == 'q' || keys[i] == 'Q')
            return Key::Quit;
        if (keys[i] == ' ')
            return Key::Pause;
        // Esc alone; arrow and function keys start with Esc too, followed by '[' or 'O'.
        if (keys[i] == kEscape) {
            if (i + 1 >= n)
                return Key::Quit;
            ++i;
        }
    }
    return Key::None;
}

void Cell::setText(std::string_view utf8)
{
    size = static_cast<std::uint8_t>(std::min(utf8.size(), sizeof(text)));
    std::copy_n(utf8.data(), size, text);
}

void ViewGrid::reset(int columnCount, int rowCount)
{
    columns = std::max(columnCount, 0);
    rows = std::max(rowCount, 0);
    cells.assign(std::size_t(columns) * std::size_t(rows), Cell {});
}

ViewLayout viewLayout(int columns, int rows, int bands)
{
    ViewLayout l;
    bands = std::max(bands, 1);
    if (columns < bands + 2 || rows < kMinViewRows)
        return l;
    l.fits = true;
    l.bands = bands;
    l.span = columns - 2;
    l.columnChars = std::max(l.span / bands, 1);
    l.barChars = l.columnChars > 1 ? l.columnChars - 1 : 1;
    const bool roomy = rows >= kRoomyRows;
    l.labelRows = roomy ? 2 : 1;
    l.hint = roomy;
    // Title, labels, status line and hint around the bars.
    l.barRows = rows - 2 - l.labelRows - (l.hint ? 1 : 0);
    return l;
}

namespace {

    // In place of the view where the terminal cannot hold it: what it needs.
    void putTooSmall(ViewGrid& g, int bands, int width)
    {
        char notice[128];
        std::snprintf(notice, sizeof(notice), "terminal %dx%d too small for bandview, needs %dx%d",
            g.columns, g.rows, bands + 2, kMinViewRows);
        if (static_cast<int>(std::strlen(notice)) > width)
            std::snprintf(notice, sizeof(notice), "needs %dx%d", bands + 2, kMinViewRows);
        putText(g, 0, 0, notice, width, Cell {});
    }

    // One column of bars as drawn: its height, its peak and the band it shows.
    struct Slot {
        float bar;
        float peak;
        int band;
    };
    constexpr int kMaxSlots = 2 * dsp::kMaxBands;

    // The bars from left to right: the bands in order, high ones first when reversed, and in
    // stereo the left side's, then the right side's. Returns how many.
    int slotsOf(
        const dsp::SpectrumFrame& frame, const dsp::SpectrumFrame* right, bool reverse, Slot* out)
    {
        const int bands = std::clamp(frame.bandCount, 1, dsp::kMaxBands);
        int n = 0;
        for (const dsp::SpectrumFrame* side : { &frame, right }) {
            for (int i = 0; side && i < bands; ++i) {
                const int k = reverse ? bands - 1 - i : i;
                const float bar = std::isfinite(side->bars[k]) ? side->bars[k] : 0.0f;
                const float peak = std::isfinite(side->peaks[k]) ? side->peaks[k] : 0.0f;
                out[n++] = { bar, peak, k };
            }
        }
        return n;
    }

    // The bars in eighths of a row growing up from the bottom of rows first..first+height-1,
    // each band's peak mark above its bar; or, downward, the mirror image in half rows. A
    // gradient across the bands colours each by its band, on either side.
    void putBars(ViewGrid& g, const Slot* drawn, const ViewText& text, const ViewLayout& l,
        int bands, int first, int height, bool downward)
    {
        const bool unicode = text.unicode;
        const shell::Theme& theme = text.theme;
        const TermColour peakColour = termColour(theme.peaks, text.depth);
        const bool acrossBands = theme.barsAxis == shell::Theme::Axis::Bands;
        std::array<TermColour, dsp::kMaxBands> bandShades;
        for (int k = 0; acrossBands && k < bands; ++k)
            bandShades[std::size_t(k)] = termColour(
                theme.bars.at(static_cast<float>(k) / static_cast<float>(std::max(bands - 1, 1))),
                text.depth);
        for (int r = 0; r < height; ++r) {
            const int fromBase = downward ? r : height - 1 - r;
            const float share = static_cast<float>(fromBase) / static_cast<float>(height);
            const TermColour rowShade = termColour(theme.bars.at(share), text.depth);
            for (int k = 0; k < l.bands; ++k) {
                const TermColour shade
                    = acrossBands ? bandShades[std::size_t(drawn[k].band)] : rowShade;
                const int eighths = std::clamp(
                    static_cast<int>(drawn[k].bar * height * 8.0f) - fromBase * 8, 0, 8);
                const int peakRow
                    = std::clamp(static_cast<int>(drawn[k].peak * height), 0, height - 1);
                const bool peakHere = !downward && drawn[k].peak > 1.0f / (8.0f * height)
                    && peakRow == fromBase && eighths < 8;
                Cell cell;
                if (downward && eighths >= 4) {
                    cell.setText(unicode ? (eighths == 8 ? kEighths[8] : kUpperHalf) : "#");
                    cell.setColour(shade);
                } else if (!downward && eighths > 0) {
                    cell.setText(unicode ? kEighths[eighths] : (eighths >= 4 ? "#" : " "));
                    cell.setColour(shade);
                } else if (peakHere) {
                    cell.setText(unicode ? kPeakMark : "-");
                    cell.setColour(peakColour);
                }
                const int start = l.bandStart(k);
                for (int c = 0; c < l.bandChars(k); ++c)
                    g.at(first + r, start + c) = cell;
            }
        }
    }

    // Labels on staggered rows under the bars, each placed only where it does not run into its
    // neighbour.
    void putLabels(ViewGrid& g, const ViewText& text, const Slot* drawn, const ViewLayout& l,
        int width, Cell dim)
    {
        for (int line = 0; line < l.labelRows; ++line) {
            int nextFree = 0;
            for (int k = line; k < l.bands; k += l.labelRows) {
                const std::string& label = text.labels[std::size_t(drawn[k].band)];
                const int x = l.bandStart(k);
                if (x < nextFree || x + static_cast<int>(label.size()) > width)
                    continue;
                putText(g, 1 + l.barRows + line, x, label, width, dim);
                nextFree = x + static_cast<int>(label.size()) + 1;
            }
        }
    }

    // The status line, and under it the hint or a note too long to share the status line.
    // The tempo at the end of the title row, over the title's end where the row is short; lit, with
    // a marker before it, just after a beat.
    void putTempo(ViewGrid& g, const ViewText& text, int width)
    {
        const std::string tempo
            = (text.bpm > 0.0f ? number("%3.0f", text.bpm) : std::string("---")) + " BPM";
        const std::string marker = text.beat ? (text.unicode ? "\u25cf " : "* ") : "  ";
        const int from = width - static_cast<int>(tempo.size()) - 2;
        if (from < 1)
            return;
        Cell look;
        if (text.beat) {
            look.bold = true;
            look.colour = kBeatColour;
        }
        putText(g, 0, from, marker + tempo, width, look);
    }

    void putStatus(ViewGrid& g, const dsp::SpectrumFrame& frame, const ViewText& text,
        const ViewLayout& l, int width, Cell dim)
    {
        const int row = 1 + l.barRows + l.labelRows;
        const std::string status = " rms " + number("%6.1f", frame.rmsDb) + " dBFS  agc "
            + number("%+5.1f", frame.agcDb) + " dB  presence " + number("%4.2f", frame.presence)
            + "  " + clockText(text.timeSec) + " / "
            + (text.totalSec >= 0.0 ? clockText(text.totalSec) : "?");
        // A note too long for the status line (a capture's reconnection) takes the hint's row.
        const bool noteOwnRow
            = l.hint && static_cast<int>(status.size() + 2 + text.note.size()) > width;
        putText(g, row, 0, noteOwnRow ? status : status + "  " + text.note, width, Cell {});
        if (noteOwnRow)
            putText(g, row + 1, 0, " " + text.note, width, Cell {});
        else if (l.hint)
            putText(
                g, row + 1, 0, " q ends, space pauses, Ctrl-C stops without writing", width, dim);
    }

} // namespace

void composeView(ViewGrid& g, const dsp::SpectrumFrame& frame, const ViewText& text,
    const dsp::SpectrumFrame* right)
{
    std::fill(g.cells.begin(), g.cells.end(), Cell {});
    g.background
        = text.theme.hasBackground ? termColour(text.theme.background, text.depth) : TermColour {};
    const int bands = std::clamp(frame.bandCount, 1, dsp::kMaxBands);
    Slot drawn[kMaxSlots];
    const int count = slotsOf(
        frame, text.layout == shell::Layout::Stereo ? right : nullptr, text.reverse, drawn);
    // Nothing may reach the last column: a terminal wraps there and the screen would scroll.
    const int width = g.columns - 1;
    const ViewLayout l = viewLayout(g.columns, g.rows, count);
    if (!l.fits) {
        if (g.rows > 0 && width > 0)
            putTooSmall(g, count, width);
        return;
    }
    Cell bold;
    bold.bold = true;
    putText(g, 0, 1, "bandview", width, bold);
    putText(g, 0, 11, text.title, width, Cell {});
    putTempo(g, text, width);
    if (text.layout == shell::Layout::Mirror) {
        const int up = (l.barRows + 1) / 2;
        putBars(g, drawn, text, l, bands, 1, up, false);
        putBars(g, drawn, text, l, bands, 1 + up, l.barRows - up, true);
    } else {
        putBars(g, drawn, text, l, bands, 1, l.barRows, false);
    }
    Cell dim;
    dim.dim = true;
    putLabels(g, text, drawn, l, width, dim);
    putStatus(g, frame, text, l, width, dim);
}

std::string screenUpdate(const ViewGrid& before, const ViewGrid& after, bool full)
{
    std::string s;
    full = full || before.columns != after.columns || before.rows != after.rows
        || before.background != after.background;
    const Cell blank;
    if (full) {
        // The screen is erased in the background's colour.
        appendLook(s, blank, after.background);
        s += "\x1b[H\x1b[2J";
    }
    int cursorRow = -1;
    int cursorColumn = -1;
    const Cell* look = nullptr;
    for (int r = 0; r < after.rows; ++r) {
        for (int c = 0; c < after.columns; ++c) {
            const Cell& cell = after.at(r, c);
            // A full draw starts from a cleared screen: blank cells are there already.
            if (full ? cell == blank : cell == before.at(r, c))
                continue;
            if (r == cursorRow && c > cursorColumn) {
                // A gap of a few blank cells (between two bars) costs less written again than
                // skipped; a space looks the same in every colour.
                bool blankGap = c - cursorColumn <= kRewriteCells;
                for (int k = cursorColumn; blankGap && k < c; ++k)
                    blankGap = after.at(r, k).glyph() == " ";
                if (blankGap)
                    s.append(static_cast<std::size_t>(c - cursorColumn), ' ');
                else
                    appendForward(s, c - cursorColumn);
            } else if (r != cursorRow || c != cursorColumn) {
                appendMove(s, r, c);
            }
            // A space looks the same in every colour: only text changes the look.
            if (cell.glyph() != " " && (!look || !sameLook(*look, cell))) {
                appendLook(s, cell, after.background);
                look = &cell;
            }
            s += cell.glyph();
            cursorRow = r;
            cursorColumn = c + 1;
        }
    }
    return s;
}

LiveView::LiveView(int fd, const QString& title, const std::vector<float>& bandCentersHz,
    const shell::Theme& theme, shell::Layout layout, bool reverse)
    : fd_(fd)
{
    text_.theme = theme;
    text_.depth = colourDepthFromEnvironment();
    text_.layout = layout;
    text_.reverse = reverse;
    takeTerminal();
    // A file's name may hold bytes that would steer the terminal.
    text_.title = shell::printable(title.toStdString());
    text_.unicode = utf8Locale();
    for (float hz : bandCentersHz)
        text_.labels.push_back(bandLabel(hz).toStdString());
    resume();
}

LiveView::~LiveView()
{
    viewFd.store(-1);
    writeAll(fd_, kLeaveScreen);
}

void LiveView::setTheme(const shell::Theme& theme)
{
    text_.theme = theme;
    // A new background erases the whole screen.
    full_ = true;
}

void LiveView::setLayout(shell::Layout layout, bool reverse)
{
    text_.layout = layout;
    text_.reverse = reverse;
}

void LiveView::resume()
{
    writeAll(fd_, kEnterScreen);
    viewFd.store(fd_);
    full_ = true;
}

void LiveView::draw(const dsp::SpectrumFrame& frame, const dsp::SpectrumFrame& right,
    double timeSec, double totalSec, const std::string& note, float bpm, bool beat)
{
    if (full_) {
        int cols = 0;
        int rows = 0;
        terminalSize(fd_, cols, rows);
        next_.reset(cols, rows);
    }
    text_.timeSec = timeSec;
    text_.totalSec = totalSec;
    text_.note = note;
    text_.bpm = bpm;
    text_.beat = beat;
    composeView(next_, frame, text_, &right);
    out_ = screenUpdate(shown_, next_, full_);
    full_ = false;
    if (!out_.empty())
        writeAll(fd_, out_);
    std::swap(shown_, next_);
    if (next_.columns != shown_.columns || next_.rows != shown_.rows)
        next_.reset(shown_.columns, shown_.rows);
}

} // namespace bandview
