#include "terminal.h"

#include "analysis.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/ioctl.h>
#include <unistd.h>

namespace bandview {

namespace {

    volatile std::sig_atomic_t stopFlag = 0;

    extern "C" void onStopSignal(int)
    {
        stopFlag = 1;
    }

    constexpr int kMinBarRows = 4;
    constexpr int kMaxBarRows = 40;
    constexpr int kMaxColumnChars = 5;
    // Rows besides the bars: title, two label rows, status line and hint.
    constexpr int kOtherRows = 5;
    constexpr double kProgressDelaySec = 1.0;
    constexpr double kProgressIntervalSec = 0.1;
    constexpr int kProgressBarChars = 30;

    constexpr const char* kEighths[]
        = { " ", "\u2581", "\u2582", "\u2583", "\u2584", "\u2585", "\u2586", "\u2587", "\u2588" };
    constexpr const char* kPeakMark = "\u2500";

    // Shades for the lower, middle and top part of the bars (xterm 256-colour numbers).
    constexpr int kLowColour = 41;
    constexpr int kMidColour = 184;
    constexpr int kTopColour = 203;
    constexpr int kPeakColour = 231;

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

    void writeAll(int fd, const std::string& text)
    {
        const char* p = text.data();
        std::size_t left = text.size();
        while (left > 0) {
            const ssize_t n = ::write(fd, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                return;
            p += n;
            left -= static_cast<std::size_t>(n);
        }
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

    // The first `columns` characters of UTF-8 text, each taken as one column wide.
    std::string clipped(const std::string& text, int columns)
    {
        int seen = 0;
        for (std::size_t i = 0; i < text.size(); ++i) {
            const bool starts = (static_cast<unsigned char>(text[i]) & 0xC0) != 0x80;
            if (starts && seen++ == columns)
                return text.substr(0, i);
        }
        return text;
    }

    void appendColour(std::string& s, int colour)
    {
        s += "\x1b[38;5;";
        s += std::to_string(colour);
        s += 'm';
    }

} // namespace

void installStopHandlers()
{
    struct sigaction action { };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    for (int sig : { SIGINT, SIGTERM, SIGHUP })
        sigaction(sig, &action, nullptr);
}

bool stopRequested()
{
    return stopFlag != 0;
}

bool isTerminal(int fd)
{
    return ::isatty(fd) == 1;
}

std::string clockText(double sec)
{
    const double t = std::max(sec, 0.0);
    const int tenths = static_cast<int>(t * 10.0);
    char text[32];
    std::snprintf(text, sizeof(text), "%d:%02d.%d", tenths / 600, (tenths / 10) % 60, tenths % 10);
    return text;
}

LiveView::LiveView(int fd, const QString& title, const std::vector<float>& bandCentersHz)
    : fd_(fd)
    , unicode_(utf8Locale())
    , title_(title.toStdString())
{
    for (float hz : bandCentersHz)
        labels_.push_back(bandLabel(hz).toStdString());
    // Keys typed while the view runs would otherwise scribble over it.
    if (::isatty(STDIN_FILENO) && ::tcgetattr(STDIN_FILENO, &saved_) == 0) {
        termios quiet = saved_;
        quiet.c_lflag &= static_cast<tcflag_t>(~(ECHO | ICANON));
        restoreTermios_ = ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet) == 0;
    }
    put("\x1b[?1049h\x1b[?25l\x1b[2J");
}

LiveView::~LiveView()
{
    put("\x1b[0m\x1b[?25h\x1b[?1049l");
    if (restoreTermios_)
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
}

void LiveView::put(const std::string& text)
{
    writeAll(fd_, text);
}

void LiveView::draw(
    const dsp::SpectrumFrame& frame, double timeSec, double totalSec, const char* note)
{
    int cols = 0;
    int rows = 0;
    terminalSize(fd_, cols, rows);
    const int bands = std::clamp(frame.bandCount, 1, dsp::kMaxBands);
    const int height = std::clamp(rows - kOtherRows, kMinBarRows, kMaxBarRows);
    const int column = std::clamp((cols - 2) / bands, 1, kMaxColumnChars);
    const int barChars = column > 1 ? column - 1 : 1;
    // Nothing may reach the last column: a terminal wraps there and the screen would scroll.
    const int width = std::max(cols - 1, 1);
    const int shown = std::clamp((width - 1) / column, 1, bands);

    std::string& s = screen_;
    s.assign("\x1b[H\x1b[0m\x1b[1m bandview\x1b[0m  ");
    s += clipped(title_, width - 11);
    s += "\x1b[K\r\n";

    for (int r = 0; r < height; ++r) {
        const int fromBottom = height - 1 - r;
        const float share = static_cast<float>(fromBottom) / static_cast<float>(height);
        const int shade = share < 0.6f ? kLowColour : (share < 0.85f ? kMidColour : kTopColour);
        int current = -1;
        s += ' ';
        for (int k = 0; k < shown; ++k) {
            const int eighths = std::clamp(
                static_cast<int>(frame.bars[k] * height * 8.0f) - fromBottom * 8, 0, 8);
            const int peakRow = std::min(height - 1, static_cast<int>(frame.peaks[k] * height));
            const bool peakHere
                = frame.peaks[k] > 1.0f / (8.0f * height) && peakRow == fromBottom && eighths < 8;
            const char* cell = " ";
            int colour = current;
            if (eighths > 0) {
                cell = unicode_ ? kEighths[eighths] : (eighths >= 4 ? "#" : " ");
                colour = shade;
            } else if (peakHere) {
                cell = unicode_ ? kPeakMark : "-";
                colour = kPeakColour;
            }
            if (colour != current && cell[0] != ' ') {
                appendColour(s, colour);
                current = colour;
            }
            for (int c = 0; c < barChars; ++c)
                s += cell;
            if (column > 1)
                s += ' ';
        }
        s += "\x1b[0m\x1b[K\r\n";
    }

    // Labels on two staggered rows, each placed only where it does not run into its neighbour.
    for (int line = 0; line < 2; ++line) {
        std::string text(static_cast<std::size_t>(std::min(shown * column + 2, width)), ' ');
        int nextFree = 0;
        for (int k = line; k < shown; k += 2) {
            const std::string& label = labels_[static_cast<std::size_t>(k)];
            const int x = 1 + k * column;
            if (x < nextFree || x + static_cast<int>(label.size()) > static_cast<int>(text.size()))
                continue;
            text.replace(static_cast<std::size_t>(x), label.size(), label);
            nextFree = x + static_cast<int>(label.size()) + 1;
        }
        s += "\x1b[2m";
        s += text;
        s += "\x1b[0m\x1b[K\r\n";
    }

    char status[256];
    std::snprintf(status, sizeof(status),
        " rms %6.1f dBFS  agc %+5.1f dB  presence %4.2f  %s / %s  %s",
        static_cast<double>(frame.rmsDb), static_cast<double>(frame.agcDb),
        static_cast<double>(frame.presence), clockText(timeSec).c_str(),
        totalSec >= 0.0 ? clockText(totalSec).c_str() : "?", note ? note : "");
    s += clipped(status, width);
    s += "\x1b[K\r\n\x1b[2m Ctrl-C stops\x1b[0m\x1b[K\x1b[J";
    put(s);
}

ProgressBar::ProgressBar(int fd)
    : fd_(fd)
    , enabled_(isTerminal(fd))
    , start_(std::chrono::steady_clock::now())
    , last_(start_)
{
}

void ProgressBar::update(double doneSec, double totalSec)
{
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    if (elapsed < kProgressDelaySec
        || (shown_ && std::chrono::duration<double>(now - last_).count() < kProgressIntervalSec))
        return;
    last_ = now;
    shown_ = true;
    std::string line = "\r bandview [";
    if (totalSec > 0.0) {
        const double share = std::clamp(doneSec / totalSec, 0.0, 1.0);
        const int filled = static_cast<int>(share * kProgressBarChars);
        line.append(static_cast<std::size_t>(filled), '#');
        line.append(static_cast<std::size_t>(kProgressBarChars - filled), '.');
        char tail[96];
        std::snprintf(tail, sizeof(tail), "] %3d%%  %s / %s", static_cast<int>(share * 100.0),
            clockText(doneSec).c_str(), clockText(totalSec).c_str());
        line += tail;
    } else {
        line += "] ";
        line += clockText(doneSec);
    }
    line += "\x1b[K";
    writeAll(fd_, line);
}

void ProgressBar::finish()
{
    if (shown_)
        writeAll(fd_, "\r\x1b[K");
    shown_ = false;
}

} // namespace bandview
