#include "progress.h"

#include <atomic>
#include <csignal>
#include <cstdio>
#include <unistd.h>

namespace visualiser {

namespace {

    constexpr int kBarCells = 30;
    constexpr auto kRedrawPeriod = std::chrono::milliseconds(100);

    volatile std::sig_atomic_t stopFlag = 0;

    extern "C" void onStopSignal(int)
    {
        stopFlag = 1;
    }

} // namespace

void installStopHandlers()
{
    std::signal(SIGINT, onStopSignal);
    std::signal(SIGTERM, onStopSignal);
    std::signal(SIGHUP, onStopSignal);
}

bool stopRequested()
{
    return stopFlag != 0;
}

ProgressBar::ProgressBar()
    : enabled_(isatty(STDERR_FILENO) == 1)
    , start_(std::chrono::steady_clock::now())
    , last_(start_ - kRedrawPeriod)
{
}

void ProgressBar::update(long long done, long long total)
{
    if (!enabled_ || total <= 0)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (now - last_ < kRedrawPeriod && done < total)
        return;
    last_ = now;
    const double fraction = double(done) / double(total);
    const int cells = int(fraction * kBarCells);
    char bar[kBarCells + 1];
    for (int i = 0; i < kBarCells; ++i)
        bar[i] = i < cells ? '#' : '.';
    bar[kBarCells] = 0;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double rate = elapsed > 0 ? double(done) / elapsed : 0.0;
    std::fprintf(stderr, "\r[%s] %3d%%  %lld/%lld pictures  %.1f/s ", bar, int(fraction * 100.0),
        done, total, rate);
    std::fflush(stderr);
    shown_ = true;
}

void ProgressBar::finish()
{
    if (shown_)
        std::fprintf(stderr, "\r\033[K");
    shown_ = false;
}

} // namespace visualiser
