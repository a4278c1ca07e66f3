// The analysis as every program runs it: a source's samples cut into hops at the display's
// cadence (media::HopClock), each hop pushed into one analyser per channel group, whose frame, with
// its ballistics, goes to every consumer (a picture, a file, the visual's animation) in the order
// the hops were read.
//
// Groups: today one, the mono mix; a stereo layout analyses each side in a group of its own, at
// the same rate and cadence, so that the groups' frames of one hop always belong together. Until
// an analyser's window is full its frame is a silent one (SpectrumFrame {}), handed out all the
// same, so that what animates keeps the cadence from the first hop.
//
// Beats and tempo (dsp::BeatTracker) follow the band levels of all groups together, their mean in
// dB: one onset and one tempo per hop, whatever the layout. Before the windows are full the hop
// carries a silent BeatFrame {}.
//
// step() allocates nothing: the hops and frames are sized when the loop is made and consumers are
// added before the first step.
#ifndef MEDIA_ANALYSISLOOP_H
#define MEDIA_ANALYSISLOOP_H

#include "dsp/beattracker.h"
#include "dsp/spectrumanalyzer.h"
#include "media/hopclock.h"

#include <cstdint>
#include <memory>
#include <vector>

namespace media {

class Feed;

// One hop as analysed: every group's frame, and where in the stream the hop ended.
struct AnalysedHop {
    // Samples analysed so far, per group, this hop's included.
    std::int64_t samplesRead;
    int rateHz;
    // Whether the analysers' windows are full; before that the frames are silent ones.
    bool ready;
    const std::vector<dsp::SpectrumFrame>& frames;
    // Onset and tempo of this hop, from every group's levels.
    const dsp::BeatFrame& beat;

    // Audio time at the end of the hop.
    double timeSec() const { return static_cast<double>(samplesRead) / rateHz; }
};

// Whatever takes the loop's frames. take() runs on the loop's thread, once per hop, and should
// not allocate either.
class FrameConsumer {
public:
    virtual ~FrameConsumer() = default;
    virtual void take(const AnalysedHop& hop) = 0;
};

// Where a hop's samples come from: fill() writes up to count samples of each group into
// groups[g] and returns how many it wrote, the same for every group; 0 once the source has ended.
class HopSource {
public:
    virtual ~HopSource() = default;
    virtual int fill(float* const* groups, int count) = 0;
};

// A feed's mono mix as the one group.
class FeedHops : public HopSource {
public:
    explicit FeedHops(Feed& feed)
        : feed_(feed)
    {
    }
    int fill(float* const* groups, int count) override;

private:
    Feed& feed_;
};

// A feed's two sides as two groups: its first channel (left) and its second (right), or its one
// channel as both. Decoders and captures both put front left and right first (FFmpeg's channel
// order, the capture's ring), so a source of more channels gives its front pair.
class FeedSides : public HopSource {
public:
    // largestHop: the most samples a fill() is asked for (AnalysisLoop::largestHop()).
    FeedSides(Feed& feed, int largestHop);
    int fill(float* const* groups, int count) override;

private:
    Feed& feed_;
    std::vector<float> mono_;
    std::vector<float> channels_;
};

class AnalysisLoop {
public:
    // rateHz in media::kMinRateHz..kMaxRateHz (as the feed's contract gives it).
    explicit AnalysisLoop(int rateHz, int groups = 1);

    // Consumers are called in the order they were added; each must outlive the loop's steps.
    void addConsumer(FrameConsumer& consumer) { consumers_.push_back(&consumer); }

    enum class Step { Frame, Warming, End };
    // Takes the next hop from the source and analyses it: Frame once the analysers' windows are
    // full, Warming before, End (nothing analysed) when the source gave no sample. A short last
    // hop still counts.
    Step step(HopSource& source);

    int rateHz() const { return rate_; }
    int groups() const { return static_cast<int>(analyzers_.size()); }
    // The longest hop the cadence gives: what a source must be able to hold.
    int largestHop() const { return clock_.largestHop(); }
    const dsp::SpectrumAnalyzer& analyzer(int group = 0) const;
    // The latest hop's frame of a group; a silent one before the first hop.
    const dsp::SpectrumFrame& frame(int group = 0) const;
    // The latest hop's onset and tempo; a silent one before the first frame.
    const dsp::BeatFrame& beat() const { return beat_; }
    std::int64_t samplesRead() const { return samplesRead_; }
    // Hops that gave a frame (not counting those that only filled the window).
    std::int64_t frameCount() const { return frameCount_; }

private:
    // Feeds the tracker the groups' mean band levels.
    void trackBeats();

    int rate_;
    HopClock clock_;
    // An analyser can be neither copied nor moved.
    std::vector<std::unique_ptr<dsp::SpectrumAnalyzer>> analyzers_;
    std::vector<std::vector<float>> hops_;
    std::vector<float*> hopStarts_;
    std::vector<dsp::SpectrumFrame> frames_;
    std::vector<FrameConsumer*> consumers_;
    dsp::BeatTracker tracker_;
    dsp::BeatFrame beat_;
    float mixDb_[dsp::kMaxBands] = {};
    std::int64_t samplesRead_ = 0;
    std::int64_t frameCount_ = 0;
};

} // namespace media

#endif
