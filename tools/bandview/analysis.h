// Drives the analysis loop (media/analysisloop.h) over a source the way the display needs it: one
// frame per display frame of 1/60 s. It keeps only the latest frame: whatever needs history (the
// picture) keeps its own, bounded.
#ifndef BANDVIEW_ANALYSIS_H
#define BANDVIEW_ANALYSIS_H

#include "dsp/spectrumanalyzer.h"
#include "media/analysisloop.h"
#include "media/framedelay.h"
#include "media/hopclock.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <vector>

namespace media {
class Feed;
}

namespace bandview {

using media::HopClock;

using media::TimedFrame;

class Analysis {
public:
    // The source must outlive the analysis and deliver a rate in media::kMinRateHz..kMaxRateHz.
    // stereo: its left and right sides analysed each by its own analyser (frame().right), else
    // its mono mix.
    explicit Analysis(media::Feed& source, bool stereo = false);

    using Step = media::AnalysisLoop::Step;
    // Reads one hop and analyses it. The first hops only fill the analysis window (Warming);
    // after that every hop gives a Frame, then in frame(). A short last hop still counts.
    Step advance();

    // Another consumer of the loop's hops (the LED output), called as each hop is analysed.
    void addConsumer(media::FrameConsumer& consumer) { loop_.addConsumer(consumer); }

    const TimedFrame& frame() const { return frame_; }
    std::int64_t frameCount() const { return loop_.frameCount(); }
    const dsp::SpectrumAnalyzer& analyzer() const { return loop_.analyzer(); }
    const media::AnalysisLoop& loop() const { return loop_; }
    std::vector<float> bandCentersHz() const;
    int sampleRate() const { return loop_.rateHz(); }
    std::int64_t samplesRead() const { return loop_.samplesRead(); }
    double secondsRead() const { return static_cast<double>(samplesRead()) / sampleRate(); }

    bool stereo() const { return loop_.groups() == 2; }

private:
    media::AnalysisLoop loop_;
    std::unique_ptr<media::HopSource> source_;
    TimedFrame frame_ {};
};

// Compact label for a band centre, at most four characters: "45", "905", "1.2k", "16k".
QString bandLabel(float hz);

// Index of the tallest bar of a frame; the lowest band wins a tie.
int tallestBand(const dsp::SpectrumFrame& frame);

} // namespace bandview

#endif
