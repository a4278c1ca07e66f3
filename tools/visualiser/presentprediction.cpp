#include "presentprediction.h"

#include <algorithm>

namespace visualiser {

void PresentPrediction::setFramesInFlight(int framesInFlight)
{
    queuedAhead_ = std::max(1, framesInFlight - 1);
}

double PresentPrediction::leadMs() const
{
    return workMs_ + (queuedAhead_ + 0.5) * intervalMs_;
}

void PresentPrediction::frameDrawn(std::int64_t beganNs, std::int64_t doneNs)
{
    workMs_ += kTimingWeight * (double(doneNs - beganNs) / 1e6 - workMs_);
    const double interval = double(beganNs - lastBeganNs_) / 1e6;
    if (lastBeganNs_ > 0 && interval < kLongestIntervalMs)
        intervalMs_ += kTimingWeight * (interval - intervalMs_);
    lastBeganNs_ = beganNs;
}

} // namespace visualiser
