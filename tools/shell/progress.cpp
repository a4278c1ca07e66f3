#include "shell/progress.h"

#include "shell/text.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <string>
#include <unistd.h>

namespace shell {

namespace {

    constexpr double kProgressIntervalSec = 0.1;
    constexpr int kProgressBarChars = 30;

    void writeAll(int fd, const std::string& text)
    {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }

} // namespace

ProgressBar::ProgressBar(int fd, double delaySec)
    : fd_(fd)
    , enabled_(isTerminal(fd))
    , delaySec_(delaySec)
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
    if (elapsed < delaySec_
        || (shown_ && std::chrono::duration<double>(now - last_).count() < kProgressIntervalSec))
        return;
    last_ = now;
    shown_ = true;
    std::string line = "\r " + programName() + " [";
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

} // namespace shell
