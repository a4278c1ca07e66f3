// When a picture begun now will be half-way through its time on the screen, so that the window
// can show the analysis of the sound heard then: once its recording and hand-over to the swap
// chain are done, behind the frames the swap chain keeps queued ahead of it, one display interval
// each, and half an interval more. The drawing time and the interval follow the frames actually
// drawn.
#ifndef VISUALISER_PRESENTPREDICTION_H
#define VISUALISER_PRESENTPREDICTION_H

#include <cstdint>

namespace visualiser {

// How fast the frame timings follow a change, per frame drawn.
constexpr double kTimingWeight = 0.1;
// Frame intervals beyond this are a stall or a rest, not the display's pace.
constexpr double kLongestIntervalMs = 100.0;
// The display interval assumed until frames have been drawn.
constexpr double kFirstIntervalMs = 1000.0 / 60;

class PresentPrediction {
public:
    // framesInFlight as the graphics back end reports it for the swap chain. OpenGL keeps its
    // queue to itself (one frame in flight as the back end sees it), yet its swap shows the
    // picture a display interval later, as Vulkan's queue of two does: at least one frame is
    // always queued ahead.
    void setFramesInFlight(int framesInFlight);
    // How long from now, in milliseconds, a picture begun now will be half-way through its time
    // on the screen.
    double leadMs() const;
    // A frame was begun and handed over at these times (nanoseconds on one steady clock).
    void frameDrawn(std::int64_t beganNs, std::int64_t doneNs);

private:
    int queuedAhead_ = 1;
    double workMs_ = 0;
    double intervalMs_ = kFirstIntervalMs;
    std::int64_t lastBeganNs_ = 0;
};

} // namespace visualiser

#endif
