// The display side of the capture ring: once per display frame (1/60 s) it hands the analysis the
// hops to analyse, so that the bars move by exactly one hop of sampleRate / 60 samples per frame.
//
// Contract: call next() once per display frame, from the ring's consumer thread. It
//  - takes one hop when the ring holds a hop plus a cushion of kCushionMs. The cushion absorbs the
//    jitter between the audio thread's ~10 ms fragments and the display's ticks, which would
//    otherwise give 0, 1 or 2 hops on successive frames;
//  - takes two hops when the ring holds three hops plus the cushion: the display fell behind (a
//    slow terminal, a clock running faster than the display's) and catches up;
//  - drops all but the newest hop and cushion when the ring holds more than kMaxBacklogHops hops
//    beyond them (a burst from the server, a display that stalled or paused): catching up by one
//    hop a frame would keep the picture behind what is heard for good;
//  - gives one hop of silence when the ring runs dry (a stopped or lost server, an idle server
//    running slow), so the bars fall and presence fades as in a quiet room; after that it waits
//    for a hop plus the cushion again before taking audio.
// Every frame analyses at least one hop, so a run of N frames covers N / 60 s of display time.
// Hop sizes, in frames, follow media::HopClock (367 and 368 in turn at 22.05 kHz). Never allocates
// after construction.
#ifndef CAPTURE_HOPPACER_H
#define CAPTURE_HOPPACER_H

#include "capture/samplering.h"
#include "media/hopclock.h"

#include <cstdint>

namespace capture {

constexpr int kCushionMs = 10;
constexpr int kMaxHopsPerFrame = 2;
constexpr int kMaxBacklogHops = 6;

class HopPacer {
public:
    HopPacer(SampleRing& ring, int sampleRateHz);

    struct Frame {
        // Hops to analyse this frame, 1 or 2; their frames lie one after another in the buffer
        // given to next(), interleaved as in the ring.
        int hops;
        int hopSize[kMaxHopsPerFrame];
        // The hop is silence made up because the ring ran dry.
        bool starved;
    };
    // out must hold kMaxHopsPerFrame * largestHop() frames of the ring's channels.
    Frame next(float* out);

    int largestHop() const { return clock_.largestHop(); }
    int cushionSamples() const { return cushion_; }

    // Frames so far, and how they went: silence while waiting for the first audio (a new stream
    // can take a while to deliver), then one hop of audio, two hops (catching up), or silence
    // because the ring ran dry.
    std::uint64_t frames() const { return waiting_ + single_ + double_ + starved_; }
    std::uint64_t waitingFrames() const { return waiting_; }
    std::uint64_t singleHopFrames() const { return single_; }
    std::uint64_t catchUpFrames() const { return double_; }
    std::uint64_t starvedFrames() const { return starved_; }
    // Samples dropped from a backlog, unheard by the analysis.
    std::uint64_t skippedSamples() const { return skipped_; }

private:
    SampleRing& ring_;
    media::HopClock clock_;
    int cushion_;
    // Enough audio has gathered since the ring last ran dry.
    bool primed_ = false;
    bool everPrimed_ = false;
    std::uint64_t waiting_ = 0;
    std::uint64_t single_ = 0;
    std::uint64_t double_ = 0;
    std::uint64_t starved_ = 0;
    std::uint64_t skipped_ = 0;
};

} // namespace capture

#endif
