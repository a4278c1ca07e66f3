#include "media/analysisloop.h"

#include "media/feed.h"

namespace media {

int FeedHops::fill(float* const* groups, int count)
{
    return feed_.read(groups[0], count, nullptr);
}

FeedSides::FeedSides(Feed& feed, int largestHop)
    : feed_(feed)
    , mono_(static_cast<std::size_t>(largestHop))
    , channels_(static_cast<std::size_t>(largestHop) * static_cast<std::size_t>(feed.channels()))
{
}

int FeedSides::fill(float* const* groups, int count)
{
    const int width = feed_.channels();
    const int got = feed_.read(mono_.data(), count, channels_.data());
    const int right = width > 1 ? 1 : 0;
    for (int i = 0; i < got; ++i) {
        groups[0][i] = channels_[static_cast<std::size_t>(i * width)];
        groups[1][i] = channels_[static_cast<std::size_t>(i * width + right)];
    }
    return got;
}

AnalysisLoop::AnalysisLoop(int rateHz, int groups)
    : rate_(rateHz)
    , clock_(rateHz)
    , frames_(static_cast<std::size_t>(groups))
{
    for (int g = 0; g < groups; ++g) {
        analyzers_.push_back(std::make_unique<dsp::SpectrumAnalyzer>());
        analyzers_.back()->configure(rateHz);
        hops_.emplace_back(static_cast<std::size_t>(clock_.largestHop()));
        hopStarts_.push_back(hops_.back().data());
    }
}

AnalysisLoop::Step AnalysisLoop::step(HopSource& source)
{
    const int got = source.fill(hopStarts_.data(), clock_.next());
    if (got <= 0)
        return Step::End;
    samplesRead_ += got;
    bool ready = true;
    for (std::size_t g = 0; g < analyzers_.size(); ++g) {
        analyzers_[g]->pushSamples(hopStarts_[g], static_cast<unsigned>(got));
        // Until the window is full, process() leaves the frame as it was: silent.
        ready = analyzers_[g]->process(frames_[g]) && ready;
    }
    if (ready) {
        ++frameCount_;
        trackBeats();
    }
    const AnalysedHop hop { samplesRead_, rate_, ready, frames_, beat_ };
    for (FrameConsumer* consumer : consumers_)
        consumer->take(hop);
    return ready ? Step::Frame : Step::Warming;
}

void AnalysisLoop::trackBeats()
{
    const int bands = analyzers_.front()->bandCount();
    if (analyzers_.size() == 1) {
        beat_ = tracker_.step(analyzers_.front()->bandLevelsDb(), bands);
        return;
    }
    const float share = 1.0f / static_cast<float>(analyzers_.size());
    for (int b = 0; b < bands; ++b) {
        float sum = 0.0f;
        for (const auto& analyzer : analyzers_)
            sum += analyzer->bandLevelsDb()[b];
        mixDb_[b] = sum * share;
    }
    beat_ = tracker_.step(mixDb_, bands);
}

const dsp::SpectrumAnalyzer& AnalysisLoop::analyzer(int group) const
{
    return *analyzers_[static_cast<std::size_t>(group)];
}

const dsp::SpectrumFrame& AnalysisLoop::frame(int group) const
{
    return frames_[static_cast<std::size_t>(group)];
}

} // namespace media
