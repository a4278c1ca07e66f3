// Everything bandview does to a terminal: the live view of the bars, the progress bar of an
// off-line run, and the stop request that Ctrl-C turns into.
#ifndef BANDVIEW_TERMINAL_H
#define BANDVIEW_TERMINAL_H

#include "dsp/spectrumanalyzer.h"

#include <QString>

#include <chrono>
#include <string>
#include <termios.h>
#include <vector>

namespace bandview {

// Ctrl-C, SIGTERM and SIGHUP only raise a flag, so that the program can restore the terminal
// and drop unfinished output files before it exits.
void installStopHandlers();
bool stopRequested();

bool isTerminal(int fd);

// Draws on the terminal's alternate screen, which keeps the user's scrollback as it was; the
// destructor brings back the normal screen, the cursor and echo.
class LiveView {
public:
    LiveView(int fd, const QString& title, const std::vector<float>& bandCentersHz);
    ~LiveView();
    LiveView(const LiveView&) = delete;
    LiveView& operator=(const LiveView&) = delete;

    // Redraws the whole screen in one write; note names what plays (a demo section).
    void draw(const dsp::SpectrumFrame& frame, double timeSec, double totalSec, const char* note);

private:
    void put(const std::string& text);

    int fd_;
    bool unicode_;
    bool restoreTermios_ = false;
    termios saved_ {};
    std::string title_;
    std::vector<std::string> labels_;
    std::string screen_;
};

// A one-line bar on standard error for off-line runs; it shows itself only once a run has
// taken a second, so short runs print nothing.
class ProgressBar {
public:
    explicit ProgressBar(int fd);
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
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

// "m:ss.s"
std::string clockText(double sec);

} // namespace bandview

#endif
