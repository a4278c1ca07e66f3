// How many samples per pixel the window's strand pass takes: the count asked for, stepped down
// where the machine cannot draw it at the display's pace. A software rasteriser pays for the
// resolve of every pixel of the picture (about 10 ms a picture at 1280x720 on llvmpipe), which a
// GPU does not notice.
//
// Contract:
// - The window feeds it the time of every picture presented while drawing with sound, and calls
//   interrupt() where pictures stop counting (paused, at rest, hidden) or where the next one is
//   slow for its own reasons (a resize): the span measured starts afresh at the next picture, so
//   that neither the gap nor the picture that ends it counts.
// - Once a span of kSpanMs holds a rate below 90 % of the aim (the display's refresh rate, at
//   most the analysis' 60 frames/s), count() steps to the next lower count the back end has and
//   presented() returns true; the window then rebuilds its strand pass. A new span starts with
//   the first picture drawn at the new count.
// - It only ever steps down (4, 2, 1), so it never oscillates; a count the user named, and 1,
//   stay as they are.
#ifndef VISUALISER_SAMPLEGOVERNOR_H
#define VISUALISER_SAMPLEGOVERNOR_H

#include <vector>

namespace visualiser {

// How long the picture rate must stay low before the count steps down.
constexpr double kSpanMs = 2000.0;
// The share of the aimed rate below which a span counts as too slow.
constexpr double kSlowShare = 0.9;

class SampleGovernor {
public:
    // supported: the counts the back end has, 1 among them; count: the one drawn first, among
    // them; named: the user asked for it; displayHz: the screen's refresh rate (0 where unknown).
    SampleGovernor(std::vector<int> supported, int count, bool named, double displayHz);

    int count() const { return count_; }
    // The rate of the span that made the last step, in pictures per second.
    double slowRate() const { return slowRate_; }

    // A picture was presented at atMs; true where count() just stepped down.
    bool presented(double atMs);
    void interrupt() { spanStartMs_ = -1.0; }

private:
    std::vector<int> supported_;
    int count_;
    bool named_;
    double boundHz_;
    double spanStartMs_ = -1.0;
    int pictures_ = 0; // presented since the span began, its first not counted
    double slowRate_ = 0.0;
};

} // namespace visualiser

#endif
