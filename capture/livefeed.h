// Live capture as a media::Feed: what a sound server's source plays now, handed out one display
// frame at a time, paced the same way for every program that shows it.
//
// Contract: read() waits for the next tick of a 60 Hz clock and returns the hop that the
// capture::HopPacer gives for that frame, so the feed is paced by the display clock, never by the
// audio's arrival: when the server falls silent, goes away or runs slow, the hops are silence and
// the bars fall. A frame that catches up hands its second hop out at once; due() says whether a
// read() would return without waiting, for a caller that must not block (a window's frame). A
// clock left behind by more than kMaxLateTicks ticks (a suspended process, a paused display)
// starts again from now, and the pacer drops a backlog beyond its kMaxBacklogHops, so the picture
// never trails what is heard. The feed never ends and never fails after open(); what happened to
// the server shows in statusNote(), in report(), and, when events are reported, in one line per
// change. The feed also says how long its picture must wait to be in step with what is heard
// (delayMs()); the waiting itself is the caller's, in frames (media/framedelay.h). Its channels are
// the ring's: the capture's two sides, left and right, where the back end keeps them.
#ifndef CAPTURE_LIVEFEED_H
#define CAPTURE_LIVEFEED_H

#include "capture/capturesource.h"
#include "capture/hoppacer.h"
#include "media/feed.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace capture {

constexpr int kMaxLateTicks = 6;
// How often the capture's status is looked at: its lock is the audio thread's.
constexpr int kStatusEveryFrames = 6;

class LiveFeed : public media::Feed {
public:
    // Starts capturing source (kDefaultMonitor for what the computer plays) for the program
    // appName, which also starts the lines the feed says. Null, with *reason set to one line naming
    // the problem and the fix, when it cannot.
    static std::unique_ptr<LiveFeed> open(const std::string& appName, const std::string& source,
        std::string* reason, Backend backend = Backend::Automatic);
    // The same over a given backend, not yet started: a test's fake one.
    static std::unique_ptr<LiveFeed> open(const std::string& appName,
        std::unique_ptr<CaptureSource> capture, const std::string& source, std::string* reason);
    ~LiveFeed() override;

    int sampleRate() const override { return capture_->sampleRate(); }
    int channels() const override { return capture_->ring().channels(); }
    int read(float* mono, int count, float* channels) override;
    // The feed's state for a status line. Like report(), it may be called from another thread
    // than read().
    std::string statusNote() const { return note_; }
    // What the feed has to say at the end of a run, one line: its source, how the hops went, and
    // the delay in use at the end.
    std::string report() const;
    // Where the feed says what happens to it while it runs, one line at a time (when no status
    // line shows it); null for silence, the default.
    using Say = void (*)(const std::string& line);
    void reportEvents(Say say) { say_ = say; }

    bool due() const;
    // How much later than the analysis the picture must show what it analysed, in milliseconds:
    // the captured output's latency, as last looked at (it may change while running), plus
    // extraMs, a fixed amount the user adds (--delay). The status note says it.
    void setExtraDelayMs(int extraMs);
    int delayMs() const { return delayMs_; }
    // The source captured now.
    std::string source() const { return capture_->status().source; }

private:
    using Clock = std::chrono::steady_clock;
    LiveFeed(std::string appName, std::unique_ptr<CaptureSource> capture);
    void lookAtStatus();

    std::string app_;
    std::unique_ptr<CaptureSource> capture_;
    HopPacer pacer_;
    std::vector<float> hops_;
    // The second hop of a catching-up frame, not yet handed out: where it starts and its size.
    int pendingAt_ = 0;
    int pendingSize_ = 0;
    Clock::time_point nextTick_;
    int framesToStatus_ = 0;
    // Stopped until the first look: a source awaited from the start is said like a later one.
    Status last_;
    std::string note_;
    int extraDelayMs_ = 0;
    // Read by whatever shows the note, perhaps on another thread.
    std::atomic<int> delayMs_ { 0 };
    Say say_ = nullptr;
};

} // namespace capture

#endif
