// A one-line progress bar on a terminal, and the stop request that Ctrl-C turns into.
#ifndef VISUALISER_PROGRESS_H
#define VISUALISER_PROGRESS_H

#include <chrono>

namespace visualiser {

// SIGINT, SIGTERM and SIGHUP only raise a flag, so that a run can drop unfinished output.
void installStopHandlers();
bool stopRequested();

// Draws on standard error only when it is a terminal; redraws at most ten times a second.
class ProgressBar {
public:
    ProgressBar();
    ~ProgressBar() { finish(); }
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void update(long long done, long long total);
    void finish();

private:
    bool enabled_;
    bool shown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_;
};

} // namespace visualiser

#endif
