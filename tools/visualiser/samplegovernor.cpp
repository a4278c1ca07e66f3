#include "samplegovernor.h"

#include "dsp/ballistics.h"

#include <algorithm>
#include <utility>

namespace visualiser {

SampleGovernor::SampleGovernor(std::vector<int> supported, int count, bool named, double displayHz)
    : supported_(std::move(supported))
    , count_(count)
    , named_(named)
    , boundHz_(kSlowShare
          * (displayHz > 0 ? std::min(displayHz, double(dsp::kFrameRateHz))
                           : double(dsp::kFrameRateHz)))
{
}

bool SampleGovernor::presented(double atMs)
{
    if (named_)
        return false;
    if (spanStartMs_ < 0) {
        spanStartMs_ = atMs;
        pictures_ = 0;
        return false;
    }
    ++pictures_;
    const double spanMs = atMs - spanStartMs_;
    if (spanMs < kSpanMs)
        return false;
    const double rate = pictures_ * 1000.0 / spanMs;
    spanStartMs_ = atMs;
    pictures_ = 0;
    int lower = 0;
    for (int c : supported_)
        if (c < count_)
            lower = std::max(lower, c);
    if (rate >= boundHz_ || lower < 1)
        return false;
    count_ = lower;
    slowRate_ = rate;
    // The picture after the rebuild carries its cost; the span starts after it.
    spanStartMs_ = -1.0;
    return true;
}

} // namespace visualiser
