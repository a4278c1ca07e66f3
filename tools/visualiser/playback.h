// Plays a feed through the sound server (PulseAudio's client library, which PipeWire serves too)
// in the source's own channels, and tells how much of it has been heard, so that the picture can
// follow the sound.
//
// Contract:
// - start() connects and starts a playback thread; false with a one-line reason when there is no
//   server, and the thread then plays on the wall clock as below until one appears. From then on
//   the thread alone reads the feed: it writes the channels in small blocks and, after each, reads
//   the stream's latency: heardSamples() = samples written - samples still queued before the
//   speaker, carried forward on the steady clock between two readings (never past what was
//   written, and only once the server has been seen playing). The mono mix of the last few
//   seconds written stays available to monoAt(), for the analysis of what is heard.
// - setPaused(true) stops writing; the queue then drains and the heard position stops where the
//   sound stopped. After the feed's end the thread writes silence, so the position keeps going;
//   endSample() then tells where the feed ended (-1 before).
// - When the server goes away the thread says so in one line on standard error and keeps the
//   feed and the heard position going on the wall clock, silently, while it reconnects with
//   pauses from 0.1 s doubling to 1 s (from 0.1 s again after each return); then it plays on.
// - stop() ends the thread early (the destructor does it too) and returns how many samples it read
//   from the feed, so that the feed can be read on from there.
// - setGain() scales what goes to the server (not what monoAt() gives the analysis), from the next
//   block on. endSample() is where the feed ended (-1 before); done() once that was heard.
// - Safe to call heardSamples(), monoAt(), setPaused(), setGain(), endSample() and done() from the
//   window's thread.
#ifndef VISUALISER_PLAYBACK_H
#define VISUALISER_PLAYBACK_H

#include "media/feed.h"

#include <QString>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace visualiser {

class Playback {
public:
    explicit Playback(media::Feed& feed);
    ~Playback();
    Playback(const Playback&) = delete;
    Playback& operator=(const Playback&) = delete;

    bool start(QString* why);
    std::int64_t stop();
    std::int64_t heardSamples() const;
    std::int64_t writtenSamples() const { return writtenCount_.load(std::memory_order_acquire); }
    void setPaused(bool paused) { paused_.store(paused, std::memory_order_release); }
    void setGain(float gain) { gain_.store(gain, std::memory_order_release); }
    std::int64_t endSample() const { return end_.load(std::memory_order_acquire); }
    bool done() const
    {
        const std::int64_t end = endSample();
        return end >= 0 && heardSamples() >= end;
    }
    // The mono mix of count samples from position at; silence for what was not written yet or
    // was written too long ago.
    void monoAt(std::int64_t at, float* out, int count) const;
    // The same for the feed's front left and right channels (a mono feed's one channel as both).
    void sidesAt(std::int64_t at, float* left, float* right, int count) const;

private:
    struct Stream;
    // The playback thread's own state: its blocks, and its clock while the server is away.
    struct Blocks;
    void run();
    void playBlock(Blocks& b);
    void fillBlock(Blocks& b);
    void standInForServer(Blocks& b);
    bool connect(QString* why);
    void setHeard(std::int64_t samples);

    media::Feed& feed_;
    int rate_;
    int channels_;
    std::unique_ptr<Stream> stream_;
    std::thread thread_;
    mutable std::mutex heardLock_;
    std::int64_t heard_ = 0;
    std::chrono::steady_clock::time_point heardAt_ {};
    // What the thread has written, for the window's thread.
    std::atomic<std::int64_t> writtenCount_ { 0 };
    std::atomic<std::int64_t> end_ { -1 };
    std::atomic<bool> paused_ { false };
    std::atomic<float> gain_ { 1.0f };
    std::atomic<bool> quit_ { false };
    mutable std::mutex historyLock_;
    std::vector<float> history_;
    // Left and right of each sample in history_, interleaved.
    std::vector<float> sidesHistory_;
    std::int64_t written_ = 0;
    std::int64_t read_ = 0; // from the feed; the thread's own until it has stopped
};

} // namespace visualiser

#endif
