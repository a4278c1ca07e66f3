// The one-line progress bar of an off-line run: the share done and the time done of the total,
// as m:ss.s, redrawn at most ten times a second. It shows only when its descriptor is a terminal
// and once the run has taken delaySec, so short runs print nothing; it clears its line when done.
#ifndef SHELL_PROGRESS_H
#define SHELL_PROGRESS_H

#include <chrono>

namespace shell {

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

} // namespace shell

#endif
