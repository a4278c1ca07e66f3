// A picture in step with what is heard: the analysed frames, one per 1/60 s tick, queued so that
// each tick shows the frame made a given number of ticks before. The sound reaches the ears later
// than the analysis sees it (an output's own latency, a Bluetooth headset's 0.1 to 0.3 s), and a
// queue of frames can hold that back where the sample ring's pacer, which drops a backlog, cannot.
//
// Contract: shift() takes one frame and returns one, so that whatever shows the frames keeps one
// per tick. The delay may change at any tick (a latency report changes): when it grows the frame
// shown is held until the queue has caught up, so that the picture never runs backwards; when it
// shrinks the frames in between are passed over. Before the first frame that is due, the frame
// shown is a silent one at time 0. All memory is taken when the queue is made; a delay beyond its
// capacity is held to the capacity.
#ifndef MEDIA_FRAMEDELAY_H
#define MEDIA_FRAMEDELAY_H

#include "dsp/beattracker.h"
#include "dsp/spectrumanalyzer.h"

#include <cstdint>
#include <vector>

namespace media {

// The longest delay the queue holds by default: the longest --delay (2000 ms) on top of as long
// an output latency.
constexpr int kLongestDelayMs = 4000;

struct TimedFrame {
    // Audio time at the end of the hop that produced the frame.
    double timeSec = 0.0;
    dsp::SpectrumFrame frame;
    // In a stereo layout frame is the left side's and this the right side's; silent otherwise.
    dsp::SpectrumFrame right {};
    // The onset and tempo of the same hop, from both sides together.
    dsp::BeatFrame beat {};
};

// The whole ticks of 1/60 s nearest delayMs; 0 for a delay below 0.
int delayTicks(double delayMs);

class FrameDelay {
public:
    explicit FrameDelay(int capacityTicks = delayTicks(kLongestDelayMs));

    // The delay from the next shift() on, held to 0..capacity().
    void setDelay(int ticks);
    int delay() const { return delay_; }
    int capacity() const { return static_cast<int>(ring_.size()) - 1; }
    // Takes this tick's frame and returns the one to show now, valid until the next shift().
    const TimedFrame& shift(const TimedFrame& newest);
    // Frames taken after the one shown last: those still waiting to show.
    int waiting() const { return static_cast<int>(taken_ - 1 - shown_); }

private:
    std::vector<TimedFrame> ring_;
    std::int64_t taken_ = 0;
    // Which frame, counted from the first taken, showed last; -1 before any.
    std::int64_t shown_ = -1;
    int delay_ = 0;
    const TimedFrame silent_ {};
};

} // namespace media

#endif
