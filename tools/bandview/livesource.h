// bandview's live input: what a sound server's source plays now, captured by the capture module
// and handed to the analysis one display frame at a time.
//
// read() waits for the next tick of a 60 Hz clock and returns the hop the capture::HopPacer gives
// for that frame, so the run is paced by the display clock, never by the audio's arrival: when
// the server falls silent, goes away or runs slow, the hops are silence and the bars fall. A
// frame that catches up hands its second hop out at once. The source never ends and never fails
// after open(); what happened to the server shows in statusNote(), in the lines report() gives,
// and, when events are reported, in one line on standard error per change.
#ifndef BANDVIEW_LIVESOURCE_H
#define BANDVIEW_LIVESOURCE_H

#include "source.h"

#include "capture/capturesource.h"
#include "capture/hoppacer.h"

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace bandview {

// How often the capture's status is looked at: its lock is the audio thread's.
constexpr int kStatusEveryFrames = 6;

class LiveSource : public MonoSource {
public:
    // Starts capturing source (capture::kDefaultMonitor for what the computer plays). Null, with
    // *reason set to one line naming the problem and the fix, when it cannot.
    static std::unique_ptr<LiveSource> open(const std::string& source, std::string* reason);

    int sampleRate() const override { return capture_->sampleRate(); }
    std::int64_t expectedSamples() const override { return -1; }
    int read(float* out, int count) override;
    std::string statusNote() const override { return note_; }
    std::string report() const override;
    void reportEvents(bool on) override { reportEvents_ = on; }

private:
    explicit LiveSource(std::unique_ptr<capture::CaptureSource> capture);
    void lookAtStatus();

    using Clock = std::chrono::steady_clock;
    std::unique_ptr<capture::CaptureSource> capture_;
    capture::HopPacer pacer_;
    std::vector<float> hops_;
    // The second hop of a catching-up frame, not yet handed out: where it starts and its size.
    int pendingAt_ = 0;
    int pendingSize_ = 0;
    Clock::time_point nextTick_;
    int framesToStatus_ = 0;
    capture::Status last_;
    std::string note_;
    bool reportEvents_ = false;
};

} // namespace bandview

#endif
