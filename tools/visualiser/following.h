// How the picture follows the sound: the analysis loop (media/analysisloop.h) run at the pace of
// what is heard, and the visual's animation stepped by each of its frames. Nothing here needs a
// window: the window asks a LookSource for the look of the moment its next picture will show.
#ifndef VISUALISER_FOLLOWING_H
#define VISUALISER_FOLLOWING_H

#include "media/analysisloop.h"
#include "media/framedelay.h"
#include "shell/wled.h"
#include "visual/look.h"

#include <cstdint>
#include <memory>

namespace capture {
class LiveFeed;
}

namespace visualiser {

class Playback;
class Player;

// A stall longer than this many hops (a dragged window, a suspended machine) is skipped, not
// caught up.
constexpr int kMaxCatchUpHops = 120;

// The visual's animation as a consumer of the analysis: one step per hop, on the first group.
class Animated : public media::FrameConsumer {
public:
    void take(const media::AnalysedHop& hop) override
    {
        animation_.step(
            hop.frames.front(), hop.frames.size() > 1 ? &hop.frames.back() : nullptr, hop.beat);
    }
    void setBeatPulse(bool on) { animation_.setBeatPulse(on); }
    const visual::Look& look() const { return animation_.look(); }

private:
    visual::Animation animation_;
};

// The tempo of the picture that shows, and how many beats have shown with it so far.
struct ShownBeat {
    float bpm = 0.0f;
    std::int64_t beats = 0;
};

// The same animation a number of ticks behind the analysis, so that the window shows each frame
// when its sound is heard rather than when it is analysed: the frames wait in a queue
// (media::FrameDelay), and while the delay grows the animation steps on the frame it holds.
class DelayedAnimated : public media::FrameConsumer {
public:
    void take(const media::AnalysedHop& hop) override
    {
        const bool stereo = hop.frames.size() > 1;
        const media::TimedFrame& shown = delay_.shift({ hop.timeSec(), hop.frames.front(),
            stereo ? hop.frames.back() : dsp::SpectrumFrame {}, hop.beat });
        animation_.step(shown.frame, stereo ? &shown.right : nullptr, shown.beat);
        // A frame held while the delay grows is the same beat, not another.
        if (shown.beat.onset && shown.timeSec != beatSec_) {
            beatSec_ = shown.timeSec;
            ++beat_.beats;
        }
        beat_.bpm = shown.beat.bpm;
    }
    void setBeatPulse(bool on) { animation_.setBeatPulse(on); }
    void setDelayMs(double ms) { delay_.setDelay(media::delayTicks(ms)); }
    const visual::Look& look() const { return animation_.look(); }
    ShownBeat shownBeat() const { return beat_; }

private:
    media::FrameDelay delay_;
    visual::Animation animation_;
    ShownBeat beat_;
    double beatSec_ = -1.0;
};

// What the window draws from: before each picture the window advances it to the moment the
// picture will show, leadMs from now; never while paused.
class LookSource {
public:
    virtual ~LookSource() = default;
    virtual void advance(double leadMs) = 0;
    virtual const visual::Look& look() const = 0;
    virtual float presence() const = 0;
    virtual ShownBeat shownBeat() const = 0;
    virtual void setPaused(bool paused) = 0;
};

// The mono mix that a playback wrote, or its two sides as two groups, read on from where the
// analysis is.
class PlaybackHops : public media::HopSource {
public:
    explicit PlaybackHops(const Playback& playback, bool stereo = false)
        : playback_(playback)
        , stereo_(stereo)
    {
    }
    int fill(float* const* groups, int count) override;
    std::int64_t position() const { return position_; }
    // Passes over what lies before samplePosition without reading it.
    void skipTo(std::int64_t samplePosition);

private:
    const Playback& playback_;
    bool stereo_;
    std::int64_t position_ = 0;
};

// One programme as its playback plays it (through the sound server, or on the wall clock where
// there is none): one hop per 1/60 s of it, each shown delayMs after its sound is heard.
class ProgrammeFollower {
public:
    // wled, where not null, takes the frames too, held back as the picture is; stereo: the left and
    // right sides analysed apart, each half of the strands following one.
    ProgrammeFollower(int rateHz, const Playback& playback, int delayMs = 0,
        shell::WledOutput* wled = nullptr, bool stereo = false, bool beatPulse = false);
    // Analyses every hop that ends at or before the sample heard leadMs from now.
    void advance(double leadMs);
    const visual::Look& look() const { return animated_.look(); }
    float presence() const { return loop_.frame().presence; }
    ShownBeat shownBeat() const { return animated_.shownBeat(); }
    // The picture's and the LED packets' lag behind the sound heard.
    void setDelayMs(int ms);

private:
    void advanceTo(std::int64_t samplePosition);

    const Playback& playback_;
    int rate_;
    PlaybackHops hops_;
    media::AnalysisLoop loop_;
    DelayedAnimated animated_;
    std::unique_ptr<shell::WledFrames> wledFrames_;
};

// The player's current track, analysed afresh whenever what plays changes (a track or a seek),
// shown delayMs (--delay) after it is heard. The player ends the run itself once the last track
// has been heard.
class TrackFollower : public LookSource {
public:
    explicit TrackFollower(Player& player, int delayMs = 0, shell::WledOutput* wled = nullptr,
        bool stereo = false, bool beatPulse = false);
    void advance(double leadMs) override;
    const visual::Look& look() const override { return current_->look(); }
    float presence() const override { return current_->presence(); }
    ShownBeat shownBeat() const override;
    void setPaused(bool paused) override;
    // From now on, this track and the next.
    void setDelayMs(int ms);

private:
    void follow();

    Player& player_;
    std::unique_ptr<ProgrammeFollower> current_;
    // The beats shown of the tracks before this one, so that the count never runs back.
    std::int64_t beatsBefore_ = 0;
    int generation_ = 0;
    int delayMs_;
    shell::WledOutput* wled_;
    bool stereo_;
    bool beatPulse_;
};

#ifdef VISUALISER_CAPTURE
// Live capture, paced as every live feed is: the hops of each 1/60 s tick gone by, taken without
// waiting, each shown as much later as the feed says (its output's latency and --delay). While
// paused nothing is read; the feed then drops the stale backlog.
class CaptureFollower : public LookSource {
public:
    explicit CaptureFollower(capture::LiveFeed& live, shell::WledOutput* wled = nullptr,
        bool stereo = false, bool beatPulse = false);
    void advance(double leadMs) override;
    const visual::Look& look() const override { return animated_.look(); }
    float presence() const override { return loop_.frame().presence; }
    ShownBeat shownBeat() const override { return animated_.shownBeat(); }
    void setPaused(bool) override { }

private:
    capture::LiveFeed& live_;
    media::AnalysisLoop loop_;
    std::unique_ptr<media::HopSource> hops_;
    DelayedAnimated animated_;
    std::unique_ptr<shell::WledFrames> wledFrames_;
};
#endif

} // namespace visualiser

#endif
