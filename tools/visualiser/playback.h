// Plays mono audio through the sound server (PulseAudio's client library, which PipeWire serves
// too) and tells how much of it has been heard, so that the picture can follow the sound.
//
// Contract:
// - start() connects and starts a playback thread; false with a one-line reason when there is no
//   server. The thread writes the samples in small blocks and, after each, reads the stream's
//   latency: heardSamples() = samples written - samples still queued before the speaker.
// - setPaused(true) stops writing; the queue then drains and the heard position stops where the
//   sound stopped. After the last sample the thread writes silence, so the position keeps going.
// - Safe to call heardSamples() and setPaused() from the window's thread.
#ifndef VISUALISER_PLAYBACK_H
#define VISUALISER_PLAYBACK_H

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <thread>
#include <vector>

namespace visualiser {

class Playback {
public:
    Playback(const std::vector<float>& samples, int rateHz);
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    bool start(QString* why);
    std::int64_t heardSamples() const { return heard_.load(std::memory_order_acquire); }
    void setPaused(bool paused) { paused_.store(paused, std::memory_order_release); }

private:
    void run();

    const std::vector<float>& samples_;
    int rate_;
    struct Stream;
    std::unique_ptr<Stream> stream_;
    std::thread thread_;
    std::atomic<std::int64_t> heard_ { 0 };
    std::atomic<bool> paused_ { false };
    std::atomic<bool> quit_ { false };
};

} // namespace visualiser

#endif
