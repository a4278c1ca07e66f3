#include "hoppacer.h"

#include <algorithm>

namespace capture {

HopPacer::HopPacer(SampleRing& ring, int sampleRateHz)
    : ring_(ring)
    , clock_(sampleRateHz)
    , cushion_(sampleRateHz * kCushionMs / 1000)
{
}

HopPacer::Frame HopPacer::next(float* out)
{
    // Thresholds use the largest hop, so a hop the clock hands out always fits in what was seen.
    const int hop = clock_.largestHop();
    int ready = ring_.available();
    const int keep = hop + cushion_;
    if (ready - keep > kMaxBacklogHops * hop) {
        skipped_ += std::uint64_t(ring_.discard(ready - keep));
        ready = keep;
    }
    Frame f {};
    if (!primed_ && ready >= hop + cushion_)
        primed_ = true;
    else if (primed_ && ready < hop)
        primed_ = false;

    if (!primed_) {
        f.hops = 1;
        f.hopSize[0] = clock_.next();
        f.starved = true;
        std::fill(out, out + f.hopSize[0] * ring_.channels(), 0.0f);
        ++(everPrimed_ ? starved_ : waiting_);
        return f;
    }
    everPrimed_ = true;
    f.hops = ready >= 3 * hop + cushion_ ? 2 : 1;
    int at = 0;
    for (int i = 0; i < f.hops; ++i) {
        f.hopSize[i] = clock_.next();
        at += ring_.read(out + at * ring_.channels(), f.hopSize[i]);
    }
    ++(f.hops == 1 ? single_ : double_);
    return f;
}

} // namespace capture
