#include "media/framedelay.h"

#include <algorithm>
#include <cmath>

namespace media {

int delayTicks(double delayMs)
{
    return delayMs > 0.0 ? static_cast<int>(std::lround(delayMs * dsp::kFrameRateHz / 1000.0)) : 0;
}

FrameDelay::FrameDelay(int capacityTicks)
    // One slot more than the delay: the newest frame is stored before the oldest one shows.
    : ring_(static_cast<std::size_t>(std::max(capacityTicks, 0)) + 1)
{
}

void FrameDelay::setDelay(int ticks)
{
    delay_ = std::clamp(ticks, 0, capacity());
}

const TimedFrame& FrameDelay::shift(const TimedFrame& newest)
{
    const auto slots = static_cast<std::int64_t>(ring_.size());
    ring_[static_cast<std::size_t>(taken_ % slots)] = newest;
    ++taken_;
    // A frame shown is never followed by an older one: a growing delay holds it instead. The
    // frame held is still in the ring, as the one due is: neither is older than capacity() ticks.
    shown_ = std::max(shown_, taken_ - 1 - delay_);
    return shown_ < 0 ? silent_ : ring_[static_cast<std::size_t>(shown_ % slots)];
}

} // namespace media
