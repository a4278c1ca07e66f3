#include "following.h"

#include "playback.h"
#include "player.h"

#ifdef VISUALISER_CAPTURE
#include "capture/livefeed.h"
#endif

#include <algorithm>

namespace visualiser {

int PlaybackHops::fill(float* const* groups, int count)
{
    if (stereo_)
        playback_.sidesAt(position_, groups[0], groups[1], count);
    else
        playback_.monoAt(position_, groups[0], count);
    position_ += count;
    return count;
}

void PlaybackHops::skipTo(std::int64_t samplePosition)
{
    position_ = std::max(position_, samplePosition);
}

namespace {

    // The LED output's consumer of loop, added to it; null without one.
    std::unique_ptr<shell::WledFrames> addWled(media::AnalysisLoop& loop, shell::WledOutput* wled)
    {
        if (!wled)
            return nullptr;
        auto frames = std::make_unique<shell::WledFrames>(*wled, loop);
        loop.addConsumer(*frames);
        return frames;
    }

} // namespace

ProgrammeFollower::ProgrammeFollower(int rateHz, const Playback& playback, int delayMs,
    shell::WledOutput* wled, bool stereo, bool beatPulse)
    : playback_(playback)
    , rate_(rateHz)
    , hops_(playback, stereo)
    , loop_(rateHz, stereo ? 2 : 1)
{
    animated_.setBeatPulse(beatPulse);
    loop_.addConsumer(animated_);
    wledFrames_ = addWled(loop_, wled);
    setDelayMs(delayMs);
}

void ProgrammeFollower::setDelayMs(int ms)
{
    animated_.setDelayMs(ms);
    if (wledFrames_)
        wledFrames_->setDelayMs(ms);
}

void ProgrammeFollower::advance(double leadMs)
{
    // The hop nearest the moment, not the last one ended before it.
    const std::int64_t at = playback_.heardSamples() + std::int64_t(leadMs * rate_ / 1000.0)
        + rate_ / dsp::kFrameRateHz / 2;
    // What is about to be heard has been written, unless the playback fell behind: then the
    // picture waits rather than show silence that was never played.
    advanceTo(std::min(at, playback_.writtenSamples()));
}

void ProgrammeFollower::advanceTo(std::int64_t samplePosition)
{
    int hops = 0;
    while (hops_.position() + loop_.largestHop() <= samplePosition) {
        loop_.step(hops_);
        if (++hops >= kMaxCatchUpHops) {
            hops_.skipTo(samplePosition);
            break;
        }
    }
}

TrackFollower::TrackFollower(
    Player& player, int delayMs, shell::WledOutput* wled, bool stereo, bool beatPulse)
    : player_(player)
    , delayMs_(delayMs)
    , wled_(wled)
    , stereo_(stereo)
    , beatPulse_(beatPulse)
{
    follow();
}

void TrackFollower::advance(double leadMs)
{
    if (generation_ != player_.generation())
        follow();
    current_->advance(leadMs);
}

void TrackFollower::setPaused(bool paused)
{
    player_.setPaused(paused);
}

void TrackFollower::setDelayMs(int ms)
{
    delayMs_ = ms;
    current_->setDelayMs(ms);
}

ShownBeat TrackFollower::shownBeat() const
{
    ShownBeat beat = current_->shownBeat();
    beat.beats += beatsBefore_;
    return beat;
}

void TrackFollower::follow()
{
    if (current_)
        beatsBefore_ += current_->shownBeat().beats;
    current_ = std::make_unique<ProgrammeFollower>(player_.programme().sampleRate(),
        *player_.playback(), delayMs_, wled_, stereo_, beatPulse_);
    generation_ = player_.generation();
}

#ifdef VISUALISER_CAPTURE
CaptureFollower::CaptureFollower(
    capture::LiveFeed& live, shell::WledOutput* wled, bool stereo, bool beatPulse)
    : live_(live)
    , loop_(live.sampleRate(), stereo ? 2 : 1)
{
    if (stereo)
        hops_ = std::make_unique<media::FeedSides>(live, loop_.largestHop());
    else
        hops_ = std::make_unique<media::FeedHops>(live);
    animated_.setBeatPulse(beatPulse);
    loop_.addConsumer(animated_);
    wledFrames_ = addWled(loop_, wled);
}

void CaptureFollower::advance(double)
{
    while (live_.due()) {
        // The output's latency may change while the capture runs.
        animated_.setDelayMs(live_.delayMs());
        if (wledFrames_)
            wledFrames_->setDelayMs(live_.delayMs());
        loop_.step(*hops_);
    }
}
#endif

} // namespace visualiser
